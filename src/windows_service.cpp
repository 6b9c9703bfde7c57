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
#include "services.h"

namespace {

// Stack reserved for the thread the Java main runs on; committed as the JVM touches it.
constexpr unsigned agent_thread_stack_size = 500000;
// How long a stop request waits for the agent to end before the service reports stopped regardless.
constexpr DWORD stop_grace_ms = 30000;
constexpr DWORD stop_pending_wait_hint_ms = 3000;
// A pending state whose check point stands still for longer than its wait hint counts as hung, and
// the service manager and its clients stop waiting: progress is reported well within the hint.
constexpr DWORD stop_progress_interval_ms = 1000;

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
    status_.dwWaitHint = 0;
    status_.dwCurrentState = state;
    status_.dwWin32ExitCode = NO_ERROR;
    // Stop is the only control the host handles, and it is accepted in every state.
    status_.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    if (state == SERVICE_STOP_PENDING) {
        status_.dwWaitHint = stop_pending_wait_hint_ms;
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

windows_service::windows_service() : stop_event_(create_event()), jvm_exit_event_(create_event()) {}

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
}

void windows_service::register_control_handler() {
    status_handle_ = RegisterServiceCtrlHandlerW(get_service_name().c_str(), service_control_handler_adapter);
    if (status_handle_ == nullptr) AGENT_THROW_LAST_ERROR(system_exception, L"RegisterServiceCtrlHandlerW");
}

bool windows_service::set_status(DWORD state) {
    DWORD error = NO_ERROR;
    bool reported = service_status_.update(state, jvm_exit_status_.load(), [&](const SERVICE_STATUS& status) {
        SERVICE_STATUS copy = status;
        if (!SetServiceStatus(status_handle_, &copy)) error = GetLastError();
    });
    if (error != NO_ERROR) throw system_exception(AGENT_HERE, L"SetServiceStatus", error);
    if (!reported) {
        LOG_DEBUG(L"service already reported stopped: state=%u", static_cast<unsigned>(state));
        return false;
    }
    if (state == SERVICE_STOP_PENDING) set_event(stop_event_);
    return true;
}

void windows_service::record_jvm_exit(std::int32_t status) {
    jvm_exit_status_.exchange(status);
    set_event(jvm_exit_event_);
}

void WINAPI windows_service::service_main_adapter(DWORD, wchar_t**) {
    try {
        get_application_instance().service_main();
    } catch (...) {
        log_current_exception_and_exit(AGENT_HERE);
    }
}

void WINAPI windows_service::service_control_handler_adapter(DWORD control) {
    try {
        windows_service& instance = get_application_instance();
        if (control != SERVICE_CONTROL_STOP) return;
        // The Java agent watches for the marker; the event wakes the service thread.
        if (instance.set_status(SERVICE_STOP_PENDING)) request_shutdown();
    } catch (...) {
        log_current_exception_and_exit(AGENT_HERE);
    }
}

void windows_service::service_main() {
    register_control_handler();
    set_status(SERVICE_RUNNING);
    unsigned thread_id = 0;
    auto thread = _beginthreadex(nullptr, agent_thread_stack_size, run_agent_in_thread, nullptr,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, &thread_id);
    if (thread == 0) {
        auto error = static_cast<std::uint32_t>(_doserrno);
        last_error_translator(L"_beginthreadex", error).translate();
    }
    shared_handle agent_thread(reinterpret_cast<HANDLE>(thread));

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

std::size_t windows_service::await_agent_end(const shared_handle& agent_thread) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        ULONGLONG waited = GetTickCount64() - start;
        if (waited >= stop_grace_ms) return 2;
        auto slice = static_cast<DWORD>(std::min<ULONGLONG>(stop_progress_interval_ms, stop_grace_ms - waited));
        std::size_t signalled = wait_for_one_of_multiple_handles({agent_thread, jvm_exit_event_}, slice);
        if (signalled < 2) return signalled;
        set_status(SERVICE_STOP_PENDING);
    }
}

unsigned __stdcall windows_service::run_agent_in_thread(void*) {
    try {
        get_application_instance();
        set_environment_variable(L"QUENDA_SERVICE_NAME", get_service_name());
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
