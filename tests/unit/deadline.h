#pragma once
// Bounds a test step that cannot take a timeout of its own (a blocking read or write): when the
// step runs past its limit the whole test program ends with a message, so that a fault shows as a
// failure instead of a hang.

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

class deadline {
public:
    deadline(std::chrono::seconds limit, const char* what)
        : thread_([this, limit, what] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_condition_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "deadline passed: %s\n", what);
                  std::fflush(stderr);
                  TerminateProcess(GetCurrentProcess(), 99);
              }
          }) {}
    deadline(const deadline&) = delete;
    deadline& operator=(const deadline&) = delete;
    ~deadline() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_condition_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_condition_;
    bool done_ = false;
    std::thread thread_;
};
