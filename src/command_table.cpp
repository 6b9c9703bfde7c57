// The command table: one row per command word, in the order users see them documented.

#include "command_table.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <vector>

#include "agent.h"
#include "agent_home.h"
#include "commands.h"
#include "fileio.h"
#include "version_banner.h"

namespace {

void no_stream_setup() {}

// After this every wide character written to stdout or stderr leaves the process as UTF-8.
void convert_std_streams_to_utf8() {
    if (_setmode(_fileno(stdout), _O_U8TEXT) == -1) LOG_FATAL_AND_EXIT(L"_setmode(stdout) failed: %d", errno);
    if (_setmode(_fileno(stderr), _O_U8TEXT) == -1) LOG_FATAL_AND_EXIT(L"_setmode(stderr) failed: %d", errno);
}

// Standard streams of a process without a console go to the stdout log. Runtime descriptors 1 and 2
// and the Windows standard handles all end up on the one log file: a process started without
// standard handles (every service process) gets streams from _wfreopen_s that have no usable
// descriptor, so the descriptors are made the log file with _dup2 as well.
std::wstring reopen_as_dummy_file(FILE* stream, const std::wstring& log_path) {
    std::wstring dummy = make_unique_path(parent_directory(log_path), file_name_of(log_path) + L".", L"");
    FILE* reopened = nullptr;
    errno_t error = _wfreopen_s(&reopened, dummy.c_str(), L"wt", stream);
    if (error != 0) LOG_FATAL_AND_EXIT(L"_wfreopen_s failed: path=[%s] err=%d\n", dummy, error);
    return dummy;
}

void redirect_std_streams_to_utf8_log_file() {
    const std::wstring& log_path = get_stdout_log_path();
    std::wstring stdout_dummy = reopen_as_dummy_file(stdout, log_path);
    std::wstring stderr_dummy = reopen_as_dummy_file(stderr, log_path);
    // The log of the run before is kept one generation, so that the lines of a failed run outlive the
    // restart that Windows' recovery actions make. What keeps it from being kept is told in the new log.
    std::wstring not_kept;
    try {
        if (!get_previous_stdout_log_path().empty()) rename_file_replacing(log_path, get_previous_stdout_log_path());
    } catch (const application_exception& e) {
        not_kept = e.message();
    }
    HANDLE log = CreateFileW(log_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        LOG_FATAL_AND_EXIT(L"Cannot open log file: path=[%s] last_error=%u", log_path, error);
    }
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(log), _O_WRONLY | _O_TEXT);
    if (_dup2(descriptor, 1) == -1) LOG_FATAL_AND_EXIT(L"_dup2(stdout) failed: %d", errno);
    if (_dup2(descriptor, 2) == -1) LOG_FATAL_AND_EXIT(L"_dup2(stderr) failed: %d", errno);
    _close(descriptor);
    // Without standard handles at start the runtime gave the two streams no descriptor at all, and
    // the reopen above left them so; tie them to the descriptors that now hold the log file.
    if (_fileno(stdout) != 1) stdout->_file = 1;
    if (_fileno(stderr) != 2) stderr->_file = 2;
    convert_std_streams_to_utf8();
    setvbuf(stderr, nullptr, _IONBF, 0);
    DeleteFileW(stdout_dummy.c_str());
    DeleteFileW(stderr_dummy.c_str());
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr))));
    if (!not_kept.empty()) LOG_WARN(L"Log of the previous run not kept:\n  %s", not_kept);
}

const std::vector<command_entry>& command_table() {
    static const std::vector<command_entry>* const table = new std::vector<command_entry>{
        {L"", print_version_and_usage, convert_std_streams_to_utf8},
        {L"run", do_run, convert_std_streams_to_utf8},
        {L"start", do_start, convert_std_streams_to_utf8},
        {L"stop", do_stop, convert_std_streams_to_utf8},
        {L"env", do_env, convert_std_streams_to_utf8},
        {L"_restart", do_restart, no_stream_setup},
        {L"_upgrade", do_upgrade, convert_std_streams_to_utf8},
        {L"_testjvm", do_testjvm, convert_std_streams_to_utf8},
        {L"install-service", do_install_service, convert_std_streams_to_utf8},
        {L"uninstall-service", do_uninstall_service, convert_std_streams_to_utf8},
        {L"_service", do_service, convert_std_streams_to_utf8},
        {L"_service_continue", do_service_continue, redirect_std_streams_to_utf8_log_file},
        {L"start-service", do_start_service, convert_std_streams_to_utf8},
        {L"stop-service", do_stop_service, convert_std_streams_to_utf8},
        {L"_upgrade_continue", do_upgrade_continue, convert_std_streams_to_utf8},
        {L"_winenv", do_winenv, convert_std_streams_to_utf8},
        {L"_start_continue", do_start_continue, redirect_std_streams_to_utf8_log_file},
        {L"_check_kill_ancestor", do_check_kill_ancestor, convert_std_streams_to_utf8},
        {L"_kill_ancestor", do_kill_ancestor, convert_std_streams_to_utf8},
        {L"_check_replace_service", do_check_replace_service, convert_std_streams_to_utf8},
        {L"_replace_service", do_replace_service, convert_std_streams_to_utf8},
    };
    return *table;
}

}  // namespace

void command_entry::run(int argc, wchar_t** argv) const {
    if (handler == nullptr) LOG_AND_EXIT(L"ERROR", false, L"Unimplemented command: %s", name);
    handler(argc, argv);
    exit_process(0);
}

const command_entry* find_command(const std::wstring& word) {
    for (const command_entry& entry : command_table()) {
        if (equals_ignore_case(entry.name, word)) return &entry;
    }
    return nullptr;
}

void run_command(const command_entry* entry, int argc, wchar_t** argv) {
    if (entry == nullptr) {
        // Without the UTF-8 set-up the runtime writes the ANSI code page, which garbles a word with
        // non-ASCII characters or drops the rest of the line at the first one it cannot map.
        convert_std_streams_to_utf8();
        LOG_AND_EXIT(L"ERROR", false, L"Unknown command: %s", argc > 0 ? argv[0] : L"");
    }
    // The banner row sees the list as it is: the command word is absent or empty.
    if (entry->name.empty()) entry->run(argc, argv);
    entry->run(argc - 1, argv + 1);
}
