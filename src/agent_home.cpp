// The agent home: found from the executable's own place, or given by an upgrade.
//
// Every value is held in a function-local static, initialised once and thread-safe, and leaked on
// purpose: a log line written while the process exits may still ask for a path.

#include "agent_home.h"

#include "agent.h"
#include "environment.h"
#include "fileio.h"
#include "processes.h"
#include "system_handles.h"

namespace {

std::wstring find_running_exe_path() {
    std::wstring buffer(261, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) AGENT_THROW_LAST_ERROR(system_exception, L"GetModuleFileNameW");
        // A result that fills the buffer may have been cut short.
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.assign(buffer.size() * 2, L'\0');
    }
}

std::wstring find_agent_home() {
    std::wstring upgrade_home = get_environment_variable(L"UPGRADE_SET_AGENT_HOME", L"");
    if (!upgrade_home.empty()) return canonicalize_path(upgrade_home);
    return parent_directory(parent_directory(get_running_exe_path()));
}

std::wstring make_stdout_log_path() {
    if (!is_environment_variable_true(L"QUENDA_SERVICE_LOG_PER_PID")) return get_log_dir() + L"\\stdout";
    // Creation time and id together name this process uniquely, even after its id is reused.
    std::int64_t created = get_process_creation_time(make_unowned_handle(GetCurrentProcess()));
    DWORD pid = GetCurrentProcessId();
    return get_log_dir() + format_text(L"\\stdout.%d.%u", created, static_cast<unsigned>(pid));
}

}  // namespace

const std::wstring& get_running_exe_path() {
    static const std::wstring* const path = new std::wstring(find_running_exe_path());
    return *path;
}

const std::wstring& get_agent_home() {
    static const std::wstring* const home = new std::wstring(find_agent_home());
    return *home;
}

const std::wstring& get_exe_file_name() {
    static const std::wstring* const name = new std::wstring(file_name_of(get_running_exe_path()));
    return *name;
}

// ---- bin ----------------------------------------------------------------------------------------

const std::wstring& get_bin_dir() {
    static const std::wstring* const path = new std::wstring(path_under(get_agent_home(), L"bin"));
    return *path;
}

const std::wstring& get_agent_exe_path() {
    static const std::wstring* const path = new std::wstring(get_bin_dir() + L"\\" + get_exe_file_name());
    return *path;
}

const std::wstring& get_agent_symbol_file_path() {
    static const std::wstring* const path = new std::wstring(get_bin_dir() + L"\\agent.pdb");
    return *path;
}

const std::wstring& get_set_env_script_path() {
    static const std::wstring* const path = new std::wstring(get_bin_dir() + L"\\set_env.cmd");
    return *path;
}

const std::wstring& get_tool_env_script_path() {
    static const std::wstring* const path = new std::wstring(get_bin_dir() + L"\\tool_env.cmd");
    return *path;
}

const std::wstring& get_classpath_conf_path() {
    static const std::wstring* const path = new std::wstring(get_bin_dir() + L"\\classpath.conf");
    return *path;
}

const std::wstring& get_worker_args_conf_path() {
    static const std::wstring* const path = new std::wstring(get_bin_dir() + L"\\worker-args.conf");
    return *path;
}

// ---- var ----------------------------------------------------------------------------------------

const std::wstring& get_var_dir() {
    static const std::wstring* const path =
        new std::wstring(canonicalize_path(path_under(get_agent_home(), L"var")));
    return *path;
}

const std::wstring& get_var_exe_path() {
    static const std::wstring* const path = new std::wstring(get_var_dir() + L"\\" + get_exe_file_name());
    return *path;
}

const std::wstring& get_var_symbol_file_path() {
    static const std::wstring* const path = new std::wstring(get_var_dir() + L"\\agent.pdb");
    return *path;
}

const std::wstring& get_log_dir() {
    static const std::wstring* const path = new std::wstring(get_var_dir() + L"\\log");
    return *path;
}

const std::wstring& get_stdout_log_path() {
    static const std::wstring* const path = new std::wstring(make_stdout_log_path());
    return *path;
}

const std::wstring& get_previous_stdout_log_path() {
    // A per-process log is never reused, so only the shared one has a predecessor to keep.
    const std::wstring& log = get_stdout_log_path();
    static const std::wstring* const path = new std::wstring(log == get_log_dir() + L"\\stdout" ? log + L".1" : L"");
    return *path;
}

const std::wstring& get_upgrade_log_path() {
    static const std::wstring* const path = new std::wstring(get_log_dir() + L"\\upgrade.log");
    return *path;
}

const std::wstring& get_shutdown_marker_path() {
    static const std::wstring* const path = new std::wstring(get_var_dir() + L"\\shutdown");
    return *path;
}

const std::wstring& get_restart_marker_path() {
    static const std::wstring* const path = new std::wstring(get_var_dir() + L"\\restart");
    return *path;
}

const std::wstring& get_temp_dir() {
    static const std::wstring* const path = new std::wstring(get_var_dir() + L"\\temp");
    return *path;
}

const std::wstring& get_upgrader_jar_path() {
    static const std::wstring* const path = new std::wstring(get_var_dir() + L"\\upgrade\\quill-agentupgrade.jar");
    return *path;
}

// ---- conf ---------------------------------------------------------------------------------------

const std::wstring& get_conf_dir() {
    static const std::wstring* const path = new std::wstring(path_under(get_agent_home(), L"conf"));
    return *path;
}

const std::wstring& get_conf_agent_dir() {
    static const std::wstring* const path = new std::wstring(get_conf_dir() + L"\\agent");
    return *path;
}

const std::wstring& get_javahome_conf_path() {
    static const std::wstring* const path = new std::wstring(get_conf_agent_dir() + L"\\javahome.conf");
    return *path;
}

const std::wstring& get_javaopts_conf_path() {
    static const std::wstring* const path = new std::wstring(get_conf_agent_dir() + L"\\javaopts.conf");
    return *path;
}

const std::wstring& get_java_security_path() {
    static const std::wstring* const path = new std::wstring(get_conf_agent_dir() + L"\\java.security");
    return *path;
}

// ---- elsewhere under the home -------------------------------------------------------------------

const std::wstring& get_lib_dir() {
    static const std::wstring* const path = new std::wstring(path_under(get_agent_home(), L"lib"));
    return *path;
}

const std::wstring& get_tskclient_dir() {
    static const std::wstring* const path = new std::wstring(path_under(get_agent_home(), L"opt\\tskclient"));
    return *path;
}

const std::wstring& get_monitor_dir() {
    static const std::wstring* const path = new std::wstring(path_under(get_agent_home(), L"monitor"));
    return *path;
}

void request_shutdown() { create_empty_file(get_shutdown_marker_path()); }

void exit_unless_log_directory_exists() {
    const std::wstring& log_dir = get_log_dir();
    try {
        if (is_path_a_directory(log_dir)) return;
    } catch (const system_exception& e) {
        // A directory that may not be looked at is as unusable as a missing one, and as plainly told.
        LOG_AND_EXIT(L"ERROR", false, L"Log directory not accessible: path=[%s] call=%s(%u) system_msg=[%s]", log_dir,
                     e.call(), e.error(), e.system_message());
    }
    LOG_AND_EXIT(L"ERROR", false, L"Log directory does not exist: path=[%s]", log_dir);
}
