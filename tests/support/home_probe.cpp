// Prints the agent home layout as a fresh process computes it, for the end-to-end tests.
// Words on the command line: "shutdown" also creates the shutdown marker.

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "agent.h"
#include "agent_home.h"

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_U8TEXT);
    std::vector<std::pair<const wchar_t*, const std::wstring& (*)()>> getters = {
        {L"running_exe_path", get_running_exe_path},
        {L"agent_home", get_agent_home},
        {L"exe_file_name", get_exe_file_name},
        {L"bin_dir", get_bin_dir},
        {L"agent_exe_path", get_agent_exe_path},
        {L"set_env_script_path", get_set_env_script_path},
        {L"tool_env_script_path", get_tool_env_script_path},
        {L"classpath_conf_path", get_classpath_conf_path},
        {L"worker_args_conf_path", get_worker_args_conf_path},
        {L"var_dir", get_var_dir},
        {L"var_exe_path", get_var_exe_path},
        {L"log_dir", get_log_dir},
        {L"stdout_log_path", get_stdout_log_path},
        {L"upgrade_log_path", get_upgrade_log_path},
        {L"shutdown_marker_path", get_shutdown_marker_path},
        {L"restart_marker_path", get_restart_marker_path},
        {L"temp_dir", get_temp_dir},
        {L"upgrader_jar_path", get_upgrader_jar_path},
        {L"conf_dir", get_conf_dir},
        {L"conf_agent_dir", get_conf_agent_dir},
        {L"javahome_conf_path", get_javahome_conf_path},
        {L"javaopts_conf_path", get_javaopts_conf_path},
        {L"java_security_path", get_java_security_path},
        {L"lib_dir", get_lib_dir},
        {L"tskclient_dir", get_tskclient_dir},
        {L"monitor_dir", get_monitor_dir},
    };
    try {
        std::fwprintf(stdout, L"pid=%lu\n", GetCurrentProcessId());
        for (const auto& [name, getter] : getters) std::fwprintf(stdout, L"%ls=%ls\n", name, getter().c_str());
        for (int i = 1; i < argc; ++i) {
            if (std::wstring(argv[i]) == L"shutdown") request_shutdown();
        }
    } catch (const application_exception& e) {
        std::fwprintf(stderr, L"%ls\n", e.message().c_str());
        return 1;
    }
    return 0;
}
