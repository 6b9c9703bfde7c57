// The environment of set_env.cmd, captured by running the script through cmd.exe and a second
// agent.exe ("_winenv") that writes its raw environment block to the pipe we read.

#include "load_environment_defined_in_set_env_script.h"

#include <vector>

#include "agent.h"
#include "agent_home.h"
#include "environment.h"
#include "fileio.h"
#include "processes.h"
#include "system_handles.h"

namespace {

// The script reaches its paths through these variables, set for the interpreter alone: cmd reads a
// script in the console's code page, so a path written into it would lose every non-ASCII letter,
// while a variable's value arrives as it is. cmd expands the variables of a parenthesised block before
// it runs any of it, so the block still names the executable after the batch files have changed or
// cleared any variable, and clears the two for "_winenv": the dump does not carry them.
const wchar_t bin_dir_variable[] = L"QUENDA_ENV_BIN_DIR";
const wchar_t exe_variable[] = L"QUENDA_ENV_EXE";

// Only ASCII text. "cd /d" also changes the drive: a service starts in the system directory on C:,
// and the agent may live on another drive.
const char environment_script[] =
    "@echo off\r\n"
    "setlocal\r\n"
    "cd /d \"%QUENDA_ENV_BIN_DIR%\"\r\n"
    "(\r\n"
    "  if exist \"%QUENDA_ENV_BIN_DIR%\\tool_env.cmd\" call \"%QUENDA_ENV_BIN_DIR%\\tool_env.cmd\" 1>nul 2>&1\r\n"
    "  if exist \"%QUENDA_ENV_BIN_DIR%\\set_env.cmd\" call \"%QUENDA_ENV_BIN_DIR%\\set_env.cmd\" 1>nul 2>&1\r\n"
    "  set \"QUENDA_ENV_BIN_DIR=\"\r\n"
    "  set \"QUENDA_ENV_EXE=\"\r\n"
    "  \"%QUENDA_ENV_EXE%\" _winenv\r\n"
    ")\r\n";

// The system's own interpreter by its full path, never one found in the current or the program's
// directory. /d: no AutoRun commands from the registry, which could write into the dump. /s with the
// outer pair of quotes: cmd removes exactly that pair and keeps the quoted script path whole, whatever
// characters (& ( ) ^ @) the path holds.
std::wstring environment_script_command_line(const std::wstring& script_path) {
    return L"\"" + get_system_directory() + L"\\cmd.exe\" /d /s /c \"\"" + script_path + L"\"\"";
}

}  // namespace

bool is_complete_environment_dump(const std::vector<char>& dump) {
    // Whole UTF-16 units only; then either the empty block (one 0x0000 unit) or a block whose last
    // entry is followed by the terminating unit (two 0x0000 units at the end).
    if (dump.size() < 2 || dump.size() % 2 != 0) return false;
    if (dump.size() == 2) return dump[0] == '\0' && dump[1] == '\0';
    for (std::size_t i = dump.size() - 4; i < dump.size(); ++i) {
        if (dump[i] != '\0') return false;
    }
    return true;
}

std::wstring environment_block_from_dump(const std::vector<char>& dump) {
    std::wstring units(dump.size() / 2, L'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<wchar_t>(static_cast<unsigned char>(dump[2 * i]) |
                                        (static_cast<unsigned char>(dump[2 * i + 1]) << 8));
    }
    std::vector<std::wstring> entries;
    for (std::size_t at = 0; at < units.size() && units[at] != L'\0';) {
        std::size_t end = units.find(L'\0', at);
        if (units[at] != L'=') entries.push_back(units.substr(at, end - at));
        at = end + 1;
    }
    return make_environment_block(entries);
}

void load_environment_defined_in_set_env_script() {
    LOG_DEBUG(L"Will load set_env.cmd");
    if (!is_path_a_file(get_set_env_script_path())) {
        LOG_DEBUG(L"Skipping load of set_env.cmd: does not exist");
        return;
    }
    std::wstring script_path = make_unique_path(get_temp_dir(), L"", L".cmd");
    file_deleter delete_script(script_path);

    std::wstring script_dir = parent_directory(script_path);
    if (!CreateDirectoryW(script_dir.c_str(), nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            last_error_translator translator(L"CreateDirectoryW", error);
            translator.path = script_dir;
            translator.translate();
        }
    }
    {
        file_handle file = file_handle::open_write(script_path);
        file.write(environment_script, static_cast<DWORD>(sizeof environment_script - 1));
    }

    std::vector<char> dump;
    shared_handle process =
        create_process_with_output(environment_script_command_line(script_path), dump,
                                   environment_with({std::wstring(bin_dir_variable) + L"=" + get_bin_dir(),
                                                     std::wstring(exe_variable) + L"=" + get_agent_exe_path()}));
    wait_for_single_handle(process, INFINITE);

    if (!is_complete_environment_dump(dump)) {
        // The process ends here without unwinding, so the deleter would never run: the script goes now.
        DeleteFileW(script_path.c_str());
        LOG_FATAL_AND_EXIT(L"Incomplete read: actual=%zu", dump.size());
    }
    LOG_DEBUG(L"Read %zd bytes of environment", dump.size());
    std::wstring block = environment_block_from_dump(dump);
    if (!SetEnvironmentStringsW(block.data())) throw_last_error(L"SetEnvironmentStringsW");
    LOG_DEBUG(L"Did load set_env.cmd");
}
