// Environment, working directory and JVM options of the agent, then the VM itself.

#include "execjava.h"

#include "agent.h"
#include "agent_home.h"
#include "configuration.h"
#include "environment.h"
#include "fileio.h"
#include "javainterop.h"

namespace {

const wchar_t* const main_class = L"com/brindle/quill/agent/CompactAgentLauncher";
// The debugger port takes no authentication. A bare port number binds every interface under Java 8
// (Java 9 and later bind it to localhost); the loopback address keeps it off the network under all.
const wchar_t* const default_debug_options =
    L"-Xdebug -Xrunjdwp:transport=dt_socket,address=127.0.0.1:10001,server=y,suspend=n -Dcom.sun.management.jmxremote";

std::vector<std::wstring> debug_options() {
    std::wstring text = get_environment_variable(L"JAVA_DEBUG_OPTS", default_debug_options);
    trim(text);
    if (text.empty()) return {};
    return split_arguments(text);
}

// Destroys the VM when the run ends, also when an exception passes.
class java_vm_slot {
public:
    java_vm_slot() = default;
    java_vm_slot(const java_vm_slot&) = delete;
    java_vm_slot& operator=(const java_vm_slot&) = delete;
    ~java_vm_slot() {
        if (vm != nullptr) vm->DestroyJavaVM();
    }
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
};

}  // namespace

java_launch compose_java_launch(const std::wstring& mode, bool debug, const std::vector<std::wstring>& extra_options) {
    const std::wstring& home = get_agent_home();
    java_launch launch;
    std::vector<std::wstring>& options = launch.options;
    options = {
        L"-Dsun.java.command=Launch Agent (" + home + L")",
        L"-Dfile.encoding=UTF-8",
        L"-Dconsole.encoding=UTF-8",
        L"-Djava.io.tmpdir=" + get_temp_dir(),
        L"-Djava.security.properties=" + get_java_security_path(),
        L"-Dagent.mode=" + mode,
        L"-Dagent.pidfile=nopidfile",
    };
    options.insert(options.end(), extra_options.begin(), extra_options.end());
    std::vector<std::wstring> configured = load_java_opts();
    options.insert(options.end(), configured.begin(), configured.end());
    if (mode == L"run" || mode == L"_testjvm") options.push_back(L"-DteskLogToConsole=y");
    if (mode == L"start" || mode == L"_service") options.push_back(L"-Xrs");
    if (debug) {
        std::vector<std::wstring> debugging = debug_options();
        options.insert(options.end(), debugging.begin(), debugging.end());
    }
    if (is_environment_variable_true(L"QUENDA_CHECK_JNI")) options.push_back(L"-Xcheck:jni");
    launch.class_path = {get_lib_dir() + L"\\quill-agent.jar", get_lib_dir() + L"\\launcher.jar"};
    return launch;
}

void execjava(const std::wstring& mode, bool debug, const std::vector<std::wstring>& extra_options) {
    const std::wstring& home = get_agent_home();
    const std::wstring& bin_dir = get_bin_dir();
    std::wstring java_home = load_java_home();

    // Only the fragment is checked: any PATH entry ending in it, under any root, will do.
    std::wstring path = get_environment_variable(L"PATH", L"");
    if (path.find(L"\\opt\\tskclient") == std::wstring::npos) path += L";" + get_tskclient_dir();

    set_environment_variable(L"AGENT_HOME", home);
    set_environment_variable(L"AGENT_BIN_HOME", home);
    set_environment_variable(L"JAVA_HOME", java_home);
    set_environment_variable(L"PATH", path);
    set_current_directory(bin_dir);
    if (is_debug_enabled()) {
        LOG_DEBUG(L"AGENT_HOME=%s", home);
        LOG_DEBUG(L"JAVA_HOME=%s", java_home);
        LOG_DEBUG(L"PATH=%s", path);
        LOG_DEBUG(L"CWD=%s", bin_dir);
    }

    java_launch launch = compose_java_launch(mode, debug, extra_options);
    if (is_debug_enabled()) {
        LOG_DEBUG(L"java_home=%s", java_home);
        LOG_DEBUG(L"jvm_args=");
        for (const std::wstring& option : launch.options) LOG_DEBUG(L"  %s", redact_secret_option(option));
        LOG_DEBUG(L"class_path=");
        for (const std::wstring& entry : launch.class_path) LOG_DEBUG(L"  %s", entry);
    }

    java_vm_slot slot;
    try {
        create_jvm(java_home, launch.options, launch.class_path, &slot.vm, &slot.env);
    } catch (...) {
        // A VM that failed to come up is never called.
        slot.vm = nullptr;
        throw;
    }
    call_java_main_method(slot.env, main_class, {});
}

void exit_for_missing_jvm(const jvm_not_found_exception& exception, const source_site& site) {
    if (is_debug_enabled())
        log_message(L"DEBUG", false, &exception, site.file, site.line, site.function,
                    format_text(L"Exception:\n  %s", exception.message()));
    log_and_exit(L"ERROR", false, site.file, site.line, site.function,
                 format_text(L"JVM DLL not found: java_home=[%s]", exception.java_home()));
}
