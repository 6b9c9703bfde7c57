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

// No path of the agent home reaches the interpreter as text that it expands: a home may hold "%",
// "!", "^" or letters outside ASCII. cmd expands %-variables on its own command line and in every
// script line, "call" expands its line a second time and doubles every caret, quoted or not, and cmd
// reads a script in the console's code page, which loses every letter outside it. So the interpreter
// starts in the bin directory (its current directory, given when it is created), finds the generated
// script by a path relative to it, and calls the batch files as ".\name", coming back to bin before
// each and before "_winenv". The two values the script does expand name no home: the executable's
// file name, and the pipe.
const wchar_t exe_variable[] = L"QUENDA_ENV_EXE";
const wchar_t pipe_variable[] = L"QUENDA_ENV_PIPE";

// Only ASCII text. cmd expands the variables of a parenthesised block before it runs any of it, so
// the block still names the executable and the pipe after the batch files have changed or cleared any
// variable, and it clears them for "_winenv": the dump does not carry them. Only "_winenv" gets the
// pipe, by its name, as its standard output: no write end exists while the batch files run, so
// nothing they start can keep the pipe open.
const char environment_script[] =
    "@echo off\r\n"
    "setlocal\r\n"
    "(\r\n"
    "  pushd .\r\n"
    "  if exist \".\\tool_env.cmd\" call \".\\tool_env.cmd\" 1>nul 2>&1\r\n"
    "  popd\r\n"
    "  pushd .\r\n"
    "  if exist \".\\set_env.cmd\" call \".\\set_env.cmd\" 1>nul 2>&1\r\n"
    "  popd\r\n"
    "  set \"QUENDA_ENV_EXE=\"\r\n"
    "  set \"QUENDA_ENV_PIPE=\"\r\n"
    "  \".\\%QUENDA_ENV_EXE%\" _winenv 1>\"%QUENDA_ENV_PIPE%\"\r\n"
    ")\r\n";

}  // namespace

std::wstring environment_script_command_line(const std::wstring& script_path) {
    // Everything in var lies under the agent home, beside bin.
    std::wstring home = path_under(get_agent_home(), L"");
    std::wstring from_bin = L"..\\" + script_path.substr(home.size());
    // The system's own interpreter by its full path, never one found in the current or the program's
    // directory. Nothing of the site's interpreter settings may change the script: /d skips the
    // registry's AutoRun commands (which could write into the dump), /e:on and /v:off overrule the
    // registry's EnableExtensions (without which pushd and "if exist" change) and DelayedExpansion
    // (with which "!" in a batch file's text starts a variable reference). /s with the outer pair of
    // quotes: cmd removes exactly that pair.
    return L"\"" + get_system_directory() + L"\\cmd.exe\" /d /e:on /v:off /s /c \"\"" + from_bin + L"\"\"";
}

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

    output_pipe pipe;
    shared_handle process = create_process_with_standard_handles(
        environment_script_command_line(script_path),
        environment_with({std::wstring(exe_variable) + L"=" + get_exe_file_name(),
                          std::wstring(pipe_variable) + L"=" + pipe.name()}),
        shared_handle(), get_bin_dir());
    std::vector<char> dump;
    pipe.read_all(process, dump);
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
