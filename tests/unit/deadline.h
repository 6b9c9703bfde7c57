#pragma once
// Bounds a test step that cannot take a time-out of its own (a blocking read, a lock): when the step
// runs past its limit the test program ends with a message, so that a fault is a failure, not a hang.

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

class deadline {
public:
    deadline(std::chrono::seconds limit, const char* what)
        : watcher_([this, limit, what] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (done_changed_.wait_for(lock, limit, [this] { return done_; })) return;
              std::fprintf(stderr, "deadline passed: %s\n", what);
              std::fflush(stderr);
              TerminateProcess(GetCurrentProcess(), 99);
          }) {}
    ~deadline() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_changed_.notify_all();
        watcher_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_changed_;
    bool done_ = false;
    std::thread watcher_;
};
