// "start" launches the agent as a detached process; "_start_continue" is that process.

#include "agent.h"
#include "agent_home.h"
#include "commands.h"
#include "execjava.h"
#include "load_environment_defined_in_set_env_script.h"
#include "processes.h"
#include "upgrade_handover.h"

void do_start(int argc, wchar_t** argv) {
    exit_unless_log_directory_exists();
    finish_upgrade_handover();
    std::vector<std::wstring> arguments{L"_start_continue"};
    arguments.insert(arguments.end(), argv, argv + argc);
    // Always the installed executable, whichever copy runs "start".
    create_process(build_command_line(get_agent_exe_path(), arguments), {}, {}, L"", true);
}

void do_start_continue(int argc, wchar_t** argv) {
    load_environment_defined_in_set_env_script();
    bool debug = argc > 0 && std::wstring(argv[0]) == L"-debug";
    try {
        execjava(L"start", debug, {});
    } catch (const jvm_not_found_exception& e) {
        exit_for_missing_jvm(e, AGENT_HERE);
    }
}
