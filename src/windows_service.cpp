// The service host: registration with the service control manager, status reports, the agent
// thread and the JVM exit hook.

#include "windows_service.h"

#include <process.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <string>

#include <jni.h>

#include "agent.h"
#include "agent_home.h"
#include "environment.h"
#include "execjava.h"
#include "javainterop.h"
#include "load_environment_defined_in_set_env_script.h"
#include "services.h"

namespace {

// Stack reserved for the thread the Java main runs on; committed as the JVM touches it.
constexpr unsigned agent_thread_stack_size = 500000;
constexpr DWORD pending_wait_hint_ms = 3000;
// A pending state whose check point stands still for longer than its wait hint counts as hung, and
// the service manager and its clients stop waiting: progress is reported well within the hint.
constexpr DWORD progress_interval_ms = 1000;
// The host handles stop, and preshutdown as a stop: at a shutdown or restart Windows ends the
// processes of services that do not take preshutdown without a word to them.
constexpr DWORD accepted_controls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;

std::atomic<windows_service*> application_instance{nullptr};

void set_event(const shared_handle& event) {
    if (!SetEvent(event.get())) throw_last_error(L"SetEvent");
}

// Runs on the Java thread that asked the runtime to end the process. It never returns: the service
// host, not the runtime, ends the process once it has reported the service stopped.
void JNICALL jvm_service_exit(jint status) {
    try {
        LOG_DEBUG(L"JVM exit: status=%d", static_cast<int>(status));
        if (status != 0) LOG_WARN(L"JVM exited with non-zero status: status=%d", static_cast<int>(status));
        windows_service::get_application_instance().record_jvm_exit(status);
    } catch (...) {
        log_current_exception_and_exit(AGENT_HERE);
    }
    for (;;) Sleep(INFINITE);
}

}  // namespace

void service_status_record::compose(DWORD state, std::int32_t exit_status) {
    // Check points count the progress of one pending operation: a new one starts again at 1.
    if (state != status_.dwCurrentState) checkpoint_counter_ = 1;
    status_.dwWaitHint = 0;
    status_.dwCurrentState = state;
    status_.dwWin32ExitCode = NO_ERROR;
    // Accepted in every state: a stop while the environment still loads ends the start.
    status_.dwControlsAccepted = accepted_controls;
    if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
        status_.dwWaitHint = pending_wait_hint_ms;
        status_.dwCheckPoint = checkpoint_counter_++;
    } else if (state == SERVICE_STOPPED || state == SERVICE_RUNNING) {
        if (state == SERVICE_STOPPED && exit_status != 0) {
            status_.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
            status_.dwServiceSpecificExitCode = static_cast<DWORD>(exit_status);
        }
        status_.dwCheckPoint = 0;
    } else {
        status_.dwCheckPoint = checkpoint_counter_++;
    }
}

windows_service::windows_service()
    : stop_event_(create_event()), environment_loaded_event_(create_event()), jvm_exit_event_(create_event()) {}

void windows_service::init_application_instance() {
    if (application_instance.load() != nullptr) LOG_FATAL_AND_EXIT(L"Application service instance already initialized");
    application_instance.store(new windows_service());
    set_jvm_exit_hook(jvm_service_exit);
}

windows_service& windows_service::get_application_instance() {
    windows_service* instance = application_instance.load();
    if (instance == nullptr) LOG_FATAL_AND_EXIT(L"Application service instance not initialized");
    return *instance;
}

void windows_service::dispatch_service_events() {
    // A service of its own process is dispatched whatever name the table carries.
    std::wstring name = L"IGNORED_SERVICE_NAME";
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), service_main_adapter}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
        AGENT_THROW_LAST_ERROR(system_exception, L"StartServiceCtrlDispatcherW");
    // After a failed start the dispatcher returns while the failing thread ends the process with its
    // own exit code: this thread must neither end it too nor log a regular stop.
    if (start_failed_.load())
        for (;;) Sleep(INFINITE);
}

void windows_service::register_control_handler() {
    // The extended handler: preshutdown reaches only that one.
    status_handle_ =
        RegisterServiceCtrlHandlerExW(get_service_name().c_str(), service_control_handler_adapter, nullptr);
    if (status_handle_ == nullptr) AGENT_THROW_LAST_ERROR(system_exception, L"RegisterServiceCtrlHandlerExW");
}

bool windows_service::set_status(DWORD state) {
    DWORD error = NO_ERROR;
    bool reported = service_status_.update(state, jvm_exit_status_.load(), [&](const SERVICE_STATUS& status) {
        SERVICE_STATUS copy = status;
        if (!SetServiceStatus(status_handle_, &copy)) error = GetLastError();
    });
    if (error != NO_ERROR) throw system_exception(AGENT_HERE, L"SetServiceStatus", error);
    if (!reported) {
        LOG_DEBUG(L"service status not reported after a stop: state=%u", static_cast<unsigned>(state));
        return false;
    }
    if (state == SERVICE_STOP_PENDING) set_event(stop_event_);
    return true;
}

void windows_service::record_jvm_exit(std::int32_t status) {
    jvm_exit_status_.exchange(status);
    set_event(jvm_exit_event_);
}

void windows_service::report_failed_start(int code) {
    start_failed_.store(true);
    jvm_exit_status_.exchange(code);
    set_status(SERVICE_STOPPED);
}

void WINAPI windows_service::service_main_adapter(DWORD, wchar_t**) {
    try {
        get_application_instance().service_main();
    } catch (...) {
        log_current_exception_and_exit(AGENT_HERE);
    }
}

DWORD WINAPI windows_service::service_control_handler_adapter(DWORD control, DWORD, void*, void*) {
    try {
        windows_service& instance = get_application_instance();
        if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
        if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_PRESHUTDOWN) return ERROR_CALL_NOT_IMPLEMENTED;
        // The Java agent watches for the marker; the event wakes the service thread.
        if (instance.set_status(SERVICE_STOP_PENDING)) request_shutdown();
    } catch (...) {
        log_current_exception_and_exit(AGENT_HERE);
    }
    return NO_ERROR;
}

namespace {

// While the service starts, a failure that ends the process (a FATAL line) first reports the service
// stopped with the process's exit code, so that the start fails at once with that code instead of
// the service manager finding a process gone without a word.
void report_failed_start(int code) {
    try {
        windows_service::get_application_instance().report_failed_start(code);
    } catch (...) {
        // The process is ending with its own report already written.
    }
}

}  // namespace

void windows_service::service_main() {
    register_control_handler();
    set_failure_exit_hook(::report_failed_start);
    // The service manager gives a service process a fixed time to connect (30 s on Windows, 10 s
    // under Wine), and set_env.cmd may take longer: the process connects first and loads the
    // environment as a pending start that shows progress.
    set_status(SERVICE_START_PENDING);
    unsigned thread_id = 0;
    auto thread = _beginthreadex(nullptr, agent_thread_stack_size, run_agent_in_thread, nullptr,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, &thread_id);
    if (thread == 0) {
        auto error = static_cast<std::uint32_t>(_doserrno);
        last_error_translator(L"_beginthreadex", error).translate();
    }
    shared_handle agent_thread(reinterpret_cast<HANDLE>(thread));
    if (await_environment(agent_thread)) set_status(SERVICE_RUNNING);

    std::size_t first = wait_for_one_of_multiple_handles({stop_event_, jvm_exit_event_, agent_thread}, INFINITE);
    if (first == 0) {
        LOG_DEBUG(L"Stop event signaled");
        std::size_t later = await_agent_end(agent_thread);
        if (later == 0) {
            LOG_DEBUG(L"Thread signaled later");
        } else if (later == 1) {
            LOG_DEBUG(L"JVM requested exit after service signalled to stop");
        } else {
            LOG_DEBUG(L"Thread shutdown timeout expired");
        }
    } else if (first == 1) {
        LOG_DEBUG(L"JVM requested exit");
    }
    LOG_DEBUG(L"Signalling service stop");
    set_status(SERVICE_STOPPED);
}

bool windows_service::await_environment(const shared_handle& agent_thread) {
    for (;;) {
        std::size_t first = wait_for_one_of_multiple_handles({environment_loaded_event_, stop_event_, agent_thread},
                                                             progress_interval_ms);
        if (first < 3) return first == 0;
        set_status(SERVICE_START_PENDING);
    }
}

std::size_t windows_service::await_agent_end(const shared_handle& agent_thread) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        ULONGLONG waited = GetTickCount64() - start;
        if (waited >= agent_stop_grace_ms) return 2;
        auto slice = static_cast<DWORD>(std::min<ULONGLONG>(progress_interval_ms, agent_stop_grace_ms - waited));
        std::size_t signalled = wait_for_one_of_multiple_handles({agent_thread, jvm_exit_event_}, slice);
        if (signalled < 2) return signalled;
        set_status(SERVICE_STOP_PENDING);
    }
}

unsigned __stdcall windows_service::run_agent_in_thread(void*) {
    try {
        windows_service& instance = get_application_instance();
        load_environment_defined_in_set_env_script();
        set_environment_variable(L"QUENDA_SERVICE_NAME", get_service_name());
        // The start is over: a failure from here on ends a running service, as it always has.
        set_failure_exit_hook(nullptr);
        set_event(instance.environment_loaded_event_);
        // A stop that came while the environment loaded ends the start: no agent to run.
        if (wait_for_single_handle(instance.stop_event_, 0)) return 0;
        try {
            execjava(L"_service", false, {});
        } catch (const jvm_not_found_exception& e) {
            if (is_debug_enabled()) LOG_EXCEPTION(L"DEBUG", e, L"Exception:\n  %s", e.message());
            LOG_ERROR(L"JVM DLL not found: java_home=[%s]", e.java_home());
            exit_process(1);
        }
    } catch (...) {
        log_current_exception_and_exit(AGENT_HERE);
    }
    return 0;
}
