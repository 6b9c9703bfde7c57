#pragma once
// Every path under the agent home; no other unit composes one. Each value is computed on first use
// (thread-safe) and kept for the life of the process; no path ends with a backslash.

#include <string>

const std::wstring& get_running_exe_path();
// UPGRADE_SET_AGENT_HOME when set, else the directory above the executable's own directory.
const std::wstring& get_agent_home();
const std::wstring& get_exe_file_name();

const std::wstring& get_bin_dir();
const std::wstring& get_agent_exe_path();
// The symbol file beside the executable, by the name the link recorded in it (agent.pdb), which
// DbgHelp looks for beside the executable that runs.
const std::wstring& get_agent_symbol_file_path();
const std::wstring& get_set_env_script_path();
const std::wstring& get_tool_env_script_path();
const std::wstring& get_classpath_conf_path();
const std::wstring& get_worker_args_conf_path();

const std::wstring& get_var_dir();
const std::wstring& get_var_exe_path();
const std::wstring& get_var_symbol_file_path();
const std::wstring& get_log_dir();
// var\log\stdout, or var\log\stdout.<creation ms>.<pid> when QUENDA_SERVICE_LOG_PER_PID is true.
const std::wstring& get_stdout_log_path();
// var\log\stdout.1, where the shared log of the run before is kept; empty for a per-process log.
const std::wstring& get_previous_stdout_log_path();
const std::wstring& get_upgrade_log_path();
const std::wstring& get_shutdown_marker_path();
const std::wstring& get_restart_marker_path();
const std::wstring& get_temp_dir();
const std::wstring& get_upgrader_jar_path();

const std::wstring& get_conf_dir();
const std::wstring& get_conf_agent_dir();
const std::wstring& get_javahome_conf_path();
const std::wstring& get_javaopts_conf_path();
const std::wstring& get_java_security_path();

const std::wstring& get_lib_dir();
const std::wstring& get_tskclient_dir();
const std::wstring& get_monitor_dir();

// Creates the empty marker var\shutdown (truncating one that exists), which the Java side watches.
void request_shutdown();
// For the commands that launch the background agent or the service, whose processes have no console
// and can report only into var\log: ends the process with an ERROR line naming the directory and
// exit code 1 when it does not exist or may not be looked at.
void exit_unless_log_directory_exists();
