// Service manager access and waits, against the real service manager and the scriptable test service
// (tests/support/test_service.cpp), which each test installs under a name of its own and removes.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "security.h"
#include "services.h"
#include "windows_service.h"

namespace {

std::wstring directory_of_this_program() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.rfind(L'\\'));
}

// One installed test service with its script, removed again (released, stopped, deleted) on scope exit.
class scripted_service {
public:
    explicit scripted_service(const std::string& script, DWORD start_type = SERVICE_DEMAND_START,
                              const std::wstring& account = L"") {
        static int counter = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        name = L"agent-unit-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        script_path = std::wstring(temp) + name + L".txt";
        std::ofstream(script_path.c_str(), std::ios::binary) << script;
        command_line = L"\"" + directory_of_this_program() + L"\\test_service.exe\" \"" + script_path + L"\"";
        manager = open_service_manager(SC_MANAGER_ALL_ACCESS);
        service = create_service(manager, name, L"Agent unit test " + name, command_line, start_type, account,
                                 L"secret");
    }
    scripted_service(const scripted_service&) = delete;
    scripted_service& operator=(const scripted_service&) = delete;

    ~scripted_service() {
        std::ofstream((script_path + L".release").c_str()) << "";
        if (service) {
            for (int i = 0; i < 100; ++i) {
                SERVICE_STATUS status{};
                if (!QueryServiceStatus(service->get_handle(), &status) || status.dwCurrentState == SERVICE_STOPPED)
                    break;
                Sleep(100);
            }
            DeleteService(service->get_handle());
        }
        DeleteFileW((script_path + L".release").c_str());
        DeleteFileW((script_path + L".log").c_str());
        DeleteFileW(script_path.c_str());
    }

    // The service's event lines so far.
    std::vector<std::string> events() const {
        std::ifstream in((script_path + L".log").c_str());
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    long count(const std::string& prefix) const {
        long n = 0;
        for (const std::string& line : events()) n += line.rfind(prefix, 0) == 0;
        return n;
    }

    DWORD state() const { return query_service_status(service).dwCurrentState; }

    std::wstring name;
    std::wstring script_path;
    std::wstring command_line;
    service_handle_ptr manager;
    service_handle_ptr service;
};

std::vector<std::string> tail(const std::vector<std::string>& lines, std::size_t from) {
    return std::vector<std::string>(lines.begin() + std::min(from, lines.size()), lines.end());
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `body`, which must throw E; returns the exception's operation text.
template <typename E, typename F>
std::wstring operation_thrown(F body) {
    try {
        body();
    } catch (const E& e) {
        return e.operation();
    }
    ADD_FAILURE() << "nothing of the expected class was thrown";
    return L"";
}

TEST(services, pause_is_a_tenth_of_the_hint_clamped_to_one_to_ten_seconds) {
    EXPECT_EQ(1000u, wait_time_for_hint(0));
    EXPECT_EQ(1000u, wait_time_for_hint(5000));
    EXPECT_EQ(1000u, wait_time_for_hint(9999));
    EXPECT_EQ(1000u, wait_time_for_hint(10009));
    EXPECT_EQ(1001u, wait_time_for_hint(10010));
    EXPECT_EQ(5000u, wait_time_for_hint(50000));
    EXPECT_EQ(10000u, wait_time_for_hint(100000));
    EXPECT_EQ(10000u, wait_time_for_hint(600000));
    EXPECT_EQ(10000u, wait_time_for_hint(0xFFFFFFFFu));
}

TEST(services, local_system_forms) {
    EXPECT_TRUE(is_local_system(L""));
    EXPECT_TRUE(is_local_system(L"LocalSystem"));
    EXPECT_TRUE(is_local_system(L"localsystem"));
    EXPECT_TRUE(is_local_system(L".\\LOCALSYSTEM"));
    EXPECT_FALSE(is_local_system(L"NT AUTHORITY\\LocalSystem"));
    EXPECT_FALSE(is_local_system(L"LocalService"));
    EXPECT_FALSE(is_local_system(L" LocalSystem"));
}

// What one report of the service host carried.
struct reported {
    DWORD state, check_point, wait_hint, win32_exit, specific_exit, accepted;
};

reported snapshot(const SERVICE_STATUS& s) {
    return {s.dwCurrentState, s.dwCheckPoint, s.dwWaitHint, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
            s.dwControlsAccepted};
}

TEST(service_host_status, stop_pending_counts_check_points_and_the_java_status_becomes_the_exit_code) {
    service_status_record record;
    std::vector<reported> reports;
    auto collect = [&](const SERVICE_STATUS& s) { reports.push_back(snapshot(s)); };
    EXPECT_TRUE(record.update(SERVICE_RUNNING, 0, collect));
    EXPECT_TRUE(record.update(SERVICE_STOP_PENDING, 0, collect));
    EXPECT_TRUE(record.update(SERVICE_STOP_PENDING, 0, collect));
    EXPECT_TRUE(record.update(SERVICE_STOPPED, 3, collect));
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ((std::vector<DWORD>{0, 1, 2, 0}),
              (std::vector<DWORD>{reports[0].check_point, reports[1].check_point, reports[2].check_point,
                                  reports[3].check_point}));
    EXPECT_EQ(0u, reports[0].wait_hint);
    EXPECT_EQ(3000u, reports[1].wait_hint);
    EXPECT_EQ(0u, reports[3].wait_hint);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), reports[3].win32_exit);
    EXPECT_EQ(3u, reports[3].specific_exit);
    for (const reported& r : reports) EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP), r.accepted);

    service_status_record clean;
    reports.clear();
    clean.update(SERVICE_STOPPED, 0, collect);
    EXPECT_EQ(0u, reports[0].win32_exit);
    EXPECT_EQ(0u, reports[0].specific_exit);
}

// A stop request arriving while the service thread reports the end must neither tear a report nor
// follow the final one.
TEST(service_host_status, concurrent_stop_reports_never_interleave_with_the_final_report) {
    for (int round = 0; round < 20; ++round) {
        service_status_record record;
        std::vector<reported> reports;
        auto collect = [&](const SERVICE_STATUS& s) {
            reported first = snapshot(s);
            std::this_thread::yield();
            reported second = snapshot(s);
            EXPECT_EQ(0, std::memcmp(&first, &second, sizeof(first))) << "the record changed during a report";
            reports.push_back(first);
        };
        record.update(SERVICE_RUNNING, 0, collect);
        std::vector<std::thread> handlers;
        for (int i = 0; i < 4; ++i) {
            handlers.emplace_back([&] {
                for (int j = 0; j < 50; ++j) record.update(SERVICE_STOP_PENDING, 0, collect);
            });
        }
        std::thread service_thread([&] { record.update(SERVICE_STOPPED, 7, collect); });
        for (std::thread& t : handlers) t.join();
        service_thread.join();

        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), reports.back().state);
        EXPECT_EQ(7u, reports.back().specific_exit);
        DWORD last_check_point = 0;
        for (std::size_t i = 1; i + 1 < reports.size(); ++i) {
            EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), reports[i].state);
            EXPECT_EQ(3000u, reports[i].wait_hint);
            EXPECT_GT(reports[i].check_point, last_check_point);
            last_check_point = reports[i].check_point;
        }
        EXPECT_FALSE(record.update(SERVICE_STOP_PENDING, 0, collect));
    }
}

TEST(services_scm, missing_service_is_its_own_exception) {
    service_handle_ptr manager = open_service_manager(SC_MANAGER_CONNECT);
    EXPECT_EQ(L"\\SCM", manager->name());
    try {
        open_service(manager, L"agent-unit-no-such-service", SERVICE_QUERY_STATUS);
        FAIL() << "opened a missing service";
    } catch (const service_does_not_exist_exception& e) {
        EXPECT_EQ(L"agent-unit-no-such-service", e.service());
        EXPECT_EQ(L"OpenServiceW", e.call());
        EXPECT_EQ(1060u, e.error());
    }
}

TEST(services_scm, a_service_deleted_since_the_enumeration_is_left_out) {
    std::vector<BYTE> buffer;
    EXPECT_FALSE(query_service_record(open_service_manager(SC_MANAGER_CONNECT), L"agent-unit-gone", 7, buffer));
}

TEST(services_scm, life_cycle_with_progressing_start_and_stop) {
    scripted_service s(
        "start=pending:1:2000,sleep:600,pending:2:2000,sleep:600,running\n"
        "stop=pending:1:3000,sleep:600,pending:2:3000,sleep:600,stopped\n"
        "exit=7\n");

    std::vector<BYTE> buffer;
    const QUERY_SERVICE_CONFIGW& config = query_service_config(s.service, buffer);
    EXPECT_EQ(s.command_line, config.lpBinaryPathName);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config.dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.dwServiceType);
    EXPECT_EQ(L"LocalSystem", std::wstring(config.lpServiceStartName));
    EXPECT_EQ(L"Agent unit test " + s.name, config.lpDisplayName);
    EXPECT_GE(buffer.size(), 512u);

    EXPECT_TRUE(start_service_and_await_running(s.service));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), s.state());
    // Already running: no second start request.
    EXPECT_FALSE(start_service_and_await_running(s.service));
    EXPECT_EQ(1, s.count("start"));

    SERVICE_STATUS_PROCESS process = query_service_status_process(s.service);
    EXPECT_NE(0u, process.dwProcessId);
    bool listed = false;
    for (const service_record& record : enumerate_services(open_service_manager(SC_MANAGER_ENUMERATE_SERVICE))) {
        if (record.service_name != s.name) continue;
        listed = true;
        EXPECT_EQ(s.command_line, record.binary_path);
        EXPECT_EQ(L"LocalSystem", record.account);
        EXPECT_EQ(process.dwProcessId, record.process_id);
    }
    EXPECT_TRUE(listed);

    EXPECT_TRUE(stop_service_and_await_stopped(s.service));
    SERVICE_STATUS status = query_service_status(s.service);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), status.dwWin32ExitCode);
    EXPECT_EQ(7u, status.dwServiceSpecificExitCode);
    EXPECT_FALSE(stop_service_and_await_stopped(s.service));
    EXPECT_EQ(1, s.count("stop.request"));

    delete_service(s.service);
    s.service.reset();
    EXPECT_THROW(open_service(s.manager, s.name, SERVICE_QUERY_STATUS), service_does_not_exist_exception);
}

TEST(services_scm, refused_stop_is_sent_once_more_after_a_pause_and_a_second_refusal_reaches_the_caller) {
    scripted_service once("stop.refuse.ms=500\n");
    ASSERT_TRUE(start_service_and_await_running(once.service));
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(stop_service_and_await_stopped(once.service));
    EXPECT_GE(seconds_since(start), 0.95);
    EXPECT_EQ((std::vector<std::string>{"stop.accepted", "stop.request", "stopped"}), tail(once.events(), 1));

    scripted_service twice("stop.refuse.ms=30000\n");
    ASSERT_TRUE(start_service_and_await_running(twice.service));
    try {
        stop_service_and_await_stopped(twice.service);
        FAIL() << "the second refusal was swallowed";
    } catch (const service_exception& e) {
        EXPECT_EQ(L"ControlService", e.call());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), e.error());
        EXPECT_EQ(twice.name, e.service());
    }
    EXPECT_EQ(0, twice.count("stop.request"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), twice.state());
}

TEST(services_scm, stuck_stop_times_out_after_one_pause_for_every_caller) {
    scripted_service s("stop=pending:1:0,hang\n");
    ASSERT_TRUE(start_service_and_await_running(s.service));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(L"stop", operation_thrown<service_timeout_exception>([&] { stop_service_and_await_stopped(s.service); }));
    double elapsed = seconds_since(start);
    EXPECT_GE(elapsed, 0.95);
    EXPECT_LT(elapsed, 1.9);

    EXPECT_EQ(L"finish-stop",
              operation_thrown<service_timeout_exception>([&] { stop_service_and_await_stopped(s.service); }));
    EXPECT_EQ(L"finish-stop-before-start",
              operation_thrown<service_timeout_exception>([&] { start_service_and_await_running(s.service); }));
    EXPECT_EQ(1, s.count("start"));
}

TEST(services_scm, failed_or_stuck_start_names_the_start_operation) {
    scripted_service stops("start=pending:1:3000,sleep:300,stopped\nexit=5\n");
    EXPECT_EQ(L"start", operation_thrown<service_operation_exception>([&] {
                  try {
                      start_service_and_await_running(stops.service);
                  } catch (const service_timeout_exception&) {
                      ADD_FAILURE() << "a start that ended was reported as a time-out";
                  }
              }));
    EXPECT_EQ(5u, query_service_status(stops.service).dwServiceSpecificExitCode);

    scripted_service stuck("start=pending:1:0,hang\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(L"start",
              operation_thrown<service_timeout_exception>([&] { start_service_and_await_running(stuck.service); }));
    EXPECT_LT(seconds_since(start), 1.9);
}

TEST(services_scm, a_stop_under_way_is_waited_for) {
    scripted_service s("stop=pending:1:1500,sleep:1200,stopped\n");
    ASSERT_TRUE(start_service_and_await_running(s.service));
    SERVICE_STATUS status = query_service_status(s.service);
    stop_service(s.service, status);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), status.dwCurrentState);
    // The stop finishes on its own, then this call starts the service again.
    EXPECT_TRUE(start_service_and_await_running(s.service));
    EXPECT_EQ(2, s.count("start"));

    stop_service(s.service, status);
    EXPECT_FALSE(stop_service_and_await_stopped(s.service));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), s.state());
}

TEST(services_scm, built_in_accounts_and_the_service_access_list) {
    scripted_service network(
        "", SERVICE_DEMAND_START, L"NT AUTHORITY\\NetworkService");
    std::vector<BYTE> buffer;
    EXPECT_EQ(L"NT AUTHORITY\\NetworkService",
              std::wstring(query_service_config(network.service, buffer).lpServiceStartName));

    scripted_service system(
        "", SERVICE_AUTO_START, L".\\localsystem");
    EXPECT_EQ(L"LocalSystem", std::wstring(query_service_config(system.service, buffer).lpServiceStartName));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), query_service_config(system.service, buffer).dwStartType);

    // Reading and writing a service's access list goes through; what the manager keeps is its own affair.
    service_dacl dacl = get_service_dacl(network.name);
    if (dacl.dacl != nullptr) {
        access_control_list list(dacl.dacl);
        account_info account = get_account_info(L"NetworkService");
        list.add_access_allowed_entry(account.sid.data());
        set_service_dacl(network.name, list);
    }
}

}  // namespace
