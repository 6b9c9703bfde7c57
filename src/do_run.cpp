// "run" and "env": the agent, or the environment it would see, in the foreground.

#include "agent.h"
#include "agent_home.h"
#include "commands.h"
#include "configuration.h"
#include "execjava.h"
#include "fileio.h"
#include "javainterop.h"
#include "load_environment_defined_in_set_env_script.h"
#include "processes.h"
#include "system_handles.h"
#include "upgrade_handover.h"

void do_run(int argc, wchar_t** argv) {
    finish_upgrade_handover();
    load_environment_defined_in_set_env_script();
    bool debug = argc > 0 && std::wstring(argv[0]) == L"-debug";
    try {
        execjava(L"run", debug, {});
    } catch (const jvm_not_found_exception& e) {
        exit_for_missing_jvm(e, AGENT_HERE);
    }
}

void do_env(int, wchar_t**) {
    load_environment_defined_in_set_env_script();
    set_current_directory(get_bin_dir());
    std::wstring java_exe = get_java_exe(load_java_home());
    std::wstring command_line = build_command_line(
        java_exe, {L"-Xmx32m", L"-cp", get_lib_dir() + L"\\quill-agent.jar",
                   L"com.brindle.quill.agent.PrintEnvironment"});
    shared_handle child = create_process(command_line, {}, {}, L"", false);
    wait_for_single_handle(child, INFINITE);
}
