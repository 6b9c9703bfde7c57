// The service host's status record under concurrent reports, as the control dispatcher and the
// service thread make them: random interleavings from fixed seeds, and the case in which the system
// holds the final report until the dispatcher has left the control handler.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "deadline.h"
#include "windows_service.h"

namespace {

void ignore(const SERVICE_STATUS&) {}

// The system's part, as it behaves: the dispatcher calls the control handler inside its own lock,
// and the final stopped report takes that lock after it has been delivered. A handler that waits for
// the record while the record waits for the dispatcher would never return.
TEST(service_status_fuzz, the_final_report_is_made_after_the_record_is_released) {
    deadline limit(std::chrono::seconds(30), "the final report and a stop request waited for each other");
    service_status_record record;
    record.update(SERVICE_RUNNING, 0, ignore);
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
    EXPECT_TRUE(record.update(SERVICE_STOPPED, 5, [&](const SERVICE_STATUS& status) {
        final_report_started = true;
        std::lock_guard<std::mutex> delivered(dispatcher);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
        EXPECT_EQ(5u, status.dwServiceSpecificExitCode);
    }));
    dispatcher_thread.join();
}

// Random interleavings of stop requests and the end: reports come out whole, in order, stop pending
// with increasing check points, the stopped report last and once.
TEST(service_status_fuzz, random_interleavings_keep_the_reports_in_order) {
    deadline limit(std::chrono::seconds(60), "interleaved reports");
    std::mt19937 random(31337);
    for (int round = 0; round < 200; ++round) {
        service_status_record record;
        std::mutex reports_lock;
        std::vector<SERVICE_STATUS> reports;
        std::atomic<int> stops_reported{0};
        auto collect = [&](const SERVICE_STATUS& status) {
            std::lock_guard<std::mutex> guard(reports_lock);
            reports.push_back(status);
        };
        record.update(SERVICE_RUNNING, 0, collect);
        int requests = 1 + static_cast<int>(random() % 5);
        unsigned seed = static_cast<unsigned>(random());
        std::int32_t exit_status = static_cast<std::int32_t>(random() % 4);
        std::thread handlers([&, seed] {
            std::mt19937 local(seed);
            for (int i = 0; i < requests; ++i) {
                for (unsigned spin = local() % 200; spin > 0; --spin) std::this_thread::yield();
                if (record.update(SERVICE_STOP_PENDING, 0, collect)) ++stops_reported;
            }
        });
        for (unsigned spin = random() % 400; spin > 0; --spin) std::this_thread::yield();
        ASSERT_TRUE(record.update(SERVICE_STOPPED, exit_status, collect));
        handlers.join();
        ASSERT_FALSE(record.update(SERVICE_STOP_PENDING, 0, collect));

        ASSERT_EQ(reports.size(), 2u + static_cast<std::size_t>(stops_reported.load())) << "round " << round;
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), reports.front().dwCurrentState);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), reports.back().dwCurrentState) << "round " << round;
        EXPECT_EQ(exit_status ? static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR) : 0u, reports.back().dwWin32ExitCode);
        EXPECT_EQ(static_cast<DWORD>(exit_status), reports.back().dwServiceSpecificExitCode);
        for (std::size_t i = 1; i + 1 < reports.size(); ++i) {
            EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), reports[i].dwCurrentState) << "round " << round;
            EXPECT_EQ(static_cast<DWORD>(i), reports[i].dwCheckPoint) << "round " << round;
        }
    }
}

}  // namespace
