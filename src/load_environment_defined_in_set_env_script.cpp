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

std::string compose_environment_script(const std::wstring& bin_dir, const std::wstring& tool_env_path,
                                       const std::wstring& set_env_path, const std::wstring& agent_exe_path) {
    std::string script;
    script += "@echo off\r\n";
    script += "setlocal\r\n";
    script += "cd \"" + to_string(bin_dir) + "\"\r\n";
    script += "if exist \"" + to_string(tool_env_path) + "\" (\r\n";
    script += "  call \"" + to_string(tool_env_path) + "\" 1>nul 2>&1\r\n";
    script += ")\r\n";
    script += "if exist \"" + to_string(set_env_path) + "\" (\r\n";
    script += "  call \"" + to_string(set_env_path) + "\" 1>nul 2>&1\r\n";
    script += ")\r\n";
    script += "\"" + to_string(agent_exe_path) + "\" _winenv\r\n";
    return script;
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
    std::string script = compose_environment_script(get_bin_dir(), get_tool_env_script_path(),
                                                    get_set_env_script_path(), get_agent_exe_path());

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
        file.write(script.data(), static_cast<DWORD>(script.size()));
    }

    std::vector<char> dump;
    shared_handle process = create_process_with_output(L"cmd /c \"" + script_path + L"\"", dump);
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
