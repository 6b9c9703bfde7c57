#pragma once
// The service host: the process the service control manager runs for this installation's service.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "system_handles.h"

// The status record the host reports, kept consistent under one lock: the control handler (stop
// pending) and the service thread (running, stopped) report from different threads, and a report
// must never mix the fields of two, nor follow the final stopped report.
class service_status_record {
public:
    service_status_record() { status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS; }

    // Fills the record for `state` and hands it to `report`. A stopped state carries `exit_status` as
    // service-specific exit code when it is not 0. After a stopped report nothing more is reported, and
    // after a stop-pending one no start pending or running: the result is then false.
    // Every report but the final one is made under the lock. The final one is made after it: the
    // system may hold that report until the control dispatcher is free, and the dispatcher may be in
    // the control handler at that moment, waiting for this lock. Taking the lock first still orders
    // it after any report in progress, and the stopped flag keeps every later one out.
    template <typename Report>
    bool update(DWORD state, std::int32_t exit_status, Report report) {
        std::unique_lock<std::mutex> guard(lock_);
        if (stopped_ || (stopping_ && (state == SERVICE_START_PENDING || state == SERVICE_RUNNING))) return false;
        stopping_ = stopping_ || state == SERVICE_STOP_PENDING;
        compose(state, exit_status);
        if (state != SERVICE_STOPPED) {
            report(static_cast<const SERVICE_STATUS&>(status_));
            return true;
        }
        stopped_ = true;
        const SERVICE_STATUS final_status = status_;
        guard.unlock();
        report(final_status);
        return true;
    }

private:
    void compose(DWORD state, std::int32_t exit_status);

    std::mutex lock_;
    SERVICE_STATUS status_{};
    DWORD checkpoint_counter_ = 1;
    bool stopping_ = false;
    bool stopped_ = false;
};

class windows_service {
public:
    // Creates the process's one instance and installs the JVM exit hook; a second call is fatal.
    static void init_application_instance();
    // The instance; fatal when there is none.
    static windows_service& get_application_instance();

    // Hands the process to the service control manager; returns after the service has stopped.
    void dispatch_service_events();

    // Reports `state` to the service control manager; a stop-pending report also sets the stop event.
    // False when nothing was reported (see service_status_record::update).
    bool set_status(DWORD state);
    // Reports the service stopped with `code` as its service-specific exit code: a start that failed.
    void report_failed_start(int code);

    // The exit hook's part: records the Java exit status and wakes the service thread.
    void record_jvm_exit(std::int32_t status);

private:
    windows_service();

    static void WINAPI service_main_adapter(DWORD argc, wchar_t** argv);
    static DWORD WINAPI service_control_handler_adapter(DWORD control, DWORD event_type, void* event_data,
                                                        void* context);
    static unsigned __stdcall run_agent_in_thread(void* ignored);

    void service_main();
    void register_control_handler();
    // Reports start pending with a new check point about once a second until the agent thread has
    // loaded the environment (true), or a stop was requested or the thread ended first (false).
    bool await_environment(const shared_handle& agent_thread);
    // After a stop request: waits up to the grace time for the agent thread (0) or the Java exit (1),
    // reporting stop pending with the next check point about once a second; 2 when neither came.
    std::size_t await_agent_end(const shared_handle& agent_thread);

    SERVICE_STATUS_HANDLE status_handle_ = nullptr;
    service_status_record service_status_;
    shared_handle stop_event_;
    shared_handle environment_loaded_event_;
    shared_handle jvm_exit_event_;
    std::atomic<std::int32_t> jvm_exit_status_{0};
    std::atomic<bool> start_failed_{false};
};
