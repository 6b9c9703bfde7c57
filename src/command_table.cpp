// The command table: one row per command word, in the order users see them documented.

#include "command_table.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <vector>

#include "agent.h"
#include "version_banner.h"

namespace {

void no_stream_setup() {}

// After this every wide character written to stdout or stderr leaves the process as UTF-8.
void convert_std_streams_to_utf8() {
    if (_setmode(_fileno(stdout), _O_U8TEXT) == -1) LOG_FATAL_AND_EXIT(L"_setmode(stdout) failed: %d", errno);
    if (_setmode(_fileno(stderr), _O_U8TEXT) == -1) LOG_FATAL_AND_EXIT(L"_setmode(stderr) failed: %d", errno);
}

// The background processes point their streams at the stdout log; until that set-up exists they
// keep the console streams.
void redirect_std_streams_to_utf8_log_file() { convert_std_streams_to_utf8(); }

const std::vector<command_entry>& command_table() {
    static const std::vector<command_entry>* const table = new std::vector<command_entry>{
        {L"", print_version_and_usage, convert_std_streams_to_utf8},
        {L"run", nullptr, convert_std_streams_to_utf8},
        {L"start", nullptr, convert_std_streams_to_utf8},
        {L"stop", nullptr, convert_std_streams_to_utf8},
        {L"env", nullptr, convert_std_streams_to_utf8},
        {L"_restart", nullptr, no_stream_setup},
        {L"_upgrade", nullptr, convert_std_streams_to_utf8},
        {L"_testjvm", nullptr, convert_std_streams_to_utf8},
        {L"install-service", nullptr, convert_std_streams_to_utf8},
        {L"uninstall-service", nullptr, convert_std_streams_to_utf8},
        {L"_service", nullptr, convert_std_streams_to_utf8},
        {L"_service_continue", nullptr, redirect_std_streams_to_utf8_log_file},
        {L"start-service", nullptr, convert_std_streams_to_utf8},
        {L"stop-service", nullptr, convert_std_streams_to_utf8},
        {L"_upgrade_continue", nullptr, convert_std_streams_to_utf8},
        {L"_winenv", nullptr, convert_std_streams_to_utf8},
        {L"_start_continue", nullptr, redirect_std_streams_to_utf8_log_file},
        {L"_check_kill_ancestor", nullptr, convert_std_streams_to_utf8},
        {L"_kill_ancestor", nullptr, convert_std_streams_to_utf8},
        {L"_check_replace_service", nullptr, convert_std_streams_to_utf8},
        {L"_replace_service", nullptr, convert_std_streams_to_utf8},
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
