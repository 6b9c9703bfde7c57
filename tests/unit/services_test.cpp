// The service host's status record, and the waits on service state where a service is slow, stuck or
// refuses (a plain start and stop: the service commands in tests/e2e/test_service_host.py), against the
// real service manager and the scripted service of tests/support/test_helper.cpp, which each test
// installs under a name of its own and removes.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "agent.h"
#include "agent_home.h"
#include "deadline.h"
#include "fileio.h"
#include "services.h"
#include "windows_service.h"

namespace {

// The system's part as it behaves: the dispatcher calls the control handler inside its own lock, and
// the final stopped report takes that lock after it has been delivered. A handler that waits for the
// record while the record waits for the dispatcher would never return.
TEST(service_host_status, the_final_report_is_made_after_the_record_is_released) {
    deadline limit(std::chrono::seconds(30), "the final report and a stop request waited for each other");
    service_status_record record;
    record.update(SERVICE_RUNNING, 0, [](const SERVICE_STATUS&) {});
    std::mutex dispatcher;
    std::atomic<bool> handler_entered{false}, final_report_started{false};
    std::thread dispatcher_thread([&] {
        std::lock_guard<std::mutex> in_dispatcher(dispatcher);
        handler_entered = true;
        while (!final_report_started) std::this_thread::yield();
        // A stop request that meets the end: too late to be reported, and it must not wait.
        EXPECT_FALSE(record.update(SERVICE_STOP_PENDING, 0, [](const SERVICE_STATUS&) { ADD_FAILURE(); }));
    });
    while (!handler_entered) std::this_thread::yield();
    EXPECT_TRUE(record.update(SERVICE_STOPPED, 5, [&](const SERVICE_STATUS&) {
        final_report_started = true;
        std::lock_guard<std::mutex> delivered(dispatcher);
    }));
    dispatcher_thread.join();
}

// One installed scripted service, removed again (released, stopped, deleted) however the test ends.
class scripted_service {
public:
    explicit scripted_service(const std::string& script) {
        static int counter = 0;
        std::wstring directory = parent_directory(get_running_exe_path());
        name = L"agent-unit-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        script_path = directory + L"\\" + name + L".txt";
        std::ofstream(script_path.c_str(), std::ios::binary) << script;
        manager = open_service_manager(SC_MANAGER_ALL_ACCESS);
        std::wstring command_line = L"\"" + directory + L"\\test_helper.exe\" service \"" + script_path + L"\"";
        service = create_service(manager, name, name, command_line, SERVICE_DEMAND_START, L"", L"");
    }
    ~scripted_service() {
        std::ofstream((script_path + L".release").c_str()) << "";
        for (int i = 0; i < 100 && state() != SERVICE_STOPPED; ++i) Sleep(100);
        DeleteService(service->get_handle());
        for (const wchar_t* suffix : {L"", L".release", L".log"}) DeleteFileW((script_path + suffix).c_str());
    }

    std::string events() const {
        std::ifstream in((script_path + L".log").c_str());
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    DWORD state() const {
        SERVICE_STATUS status{};
        QueryServiceStatus(service->get_handle(), &status);
        return status.dwCurrentState;
    }

    std::wstring name, script_path;
    service_handle_ptr manager, service;
};

template <typename E, typename F>
std::wstring thrown(F body) {
    try {
        body();
    } catch (const E& e) {
        return e.operation();
    }
    return L"nothing of the expected class was thrown";
}

// Hints are generous wherever a test does not wait for a time-out, so that no step depends on Wine's speed.
// The manager refuses a stop while the service does not accept one (here: while it starts); the
// request goes once more after a pause of a tenth of the wait hint, and a second refusal is final.
TEST(services_scm, a_refused_stop_is_sent_once_more_and_a_second_refusal_reaches_the_caller) {
    scripted_service starting("start=pending:1:40000,sleep:1500,running\n");
    start_service(starting.service);
    for (int i = 0; i < 200 && query_service_status(starting.service).dwWaitHint != 40000; ++i) Sleep(10);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(stop_service_and_await_stopped(starting.service));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3)) << "no pause: nothing was refused";
    EXPECT_EQ(starting.events(), "start\nstop.request\nstopped\n");

    scripted_service stuck("start=pending:1:40000,hang\n");
    start_service(stuck.service);
    try {
        stop_service_and_await_stopped(stuck.service);
        ADD_FAILURE() << "the second refusal was swallowed";
    } catch (const service_exception& e) {
        EXPECT_EQ(L"ControlService", e.call());
        EXPECT_EQ(DWORD(ERROR_INVALID_SERVICE_CONTROL), e.error());
    }
}

TEST(services_scm, a_stop_or_start_without_progress_times_out_for_every_caller) {
    scripted_service s("stop=pending:1:0,hang\n");
    ASSERT_TRUE(start_service_and_await_running(s.service));
    EXPECT_EQ(L"stop", thrown<service_timeout_exception>([&] { stop_service_and_await_stopped(s.service); }));
    EXPECT_EQ(L"finish-stop", thrown<service_timeout_exception>([&] { stop_service_and_await_stopped(s.service); }));
    EXPECT_EQ(L"finish-stop-before-start",
              thrown<service_timeout_exception>([&] { start_service_and_await_running(s.service); }));

    scripted_service stuck("start=pending:1:0,hang\n");
    EXPECT_EQ(L"start", thrown<service_timeout_exception>([&] { start_service_and_await_running(stuck.service); }));
    // A start that ends is no time-out.
    scripted_service stops("start=pending:1:20000,sleep:300,stopped\nexit=5\n");
    EXPECT_EQ(L"start", thrown<service_operation_exception>([&] { start_service_and_await_running(stops.service); }));
}

TEST(services_scm, a_stop_under_way_is_waited_for_before_a_start) {
    scripted_service s("stop=pending:1:20000,sleep:1200,stopped\n");
    ASSERT_TRUE(start_service_and_await_running(s.service));
    SERVICE_STATUS status = query_service_status(s.service);
    stop_service(s.service, status);
    EXPECT_EQ(SERVICE_STOP_PENDING, status.dwCurrentState);
    EXPECT_TRUE(start_service_and_await_running(s.service));
    EXPECT_EQ(s.events(), "start\nstop.request\nstopped\nstart\n");
}

TEST(services_scm, a_service_deleted_since_the_enumeration_is_left_out) {
    std::vector<BYTE> buffer;
    EXPECT_FALSE(query_service_record(open_service_manager(SC_MANAGER_CONNECT), L"agent-unit-gone", 7, buffer));
}

}  // namespace
