#pragma once
// Bounds a test step that cannot take a time-out of its own (a blocking read, a lock): when the step
// runs past its limit the test program ends with a message, so that a fault is a failure, not a hang.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

class deadline {
public:
    deadline(std::chrono::seconds limit, const char* what) {
        std::thread([done = done_, end = std::chrono::steady_clock::now() + limit, what] {
            while (!*done) {
                if (std::chrono::steady_clock::now() > end) {
                    std::fprintf(stderr, "deadline passed: %s\n", what);
                    std::fflush(stderr);
                    TerminateProcess(GetCurrentProcess(), 99);
                }
                Sleep(50);
            }
        }).detach();
    }
    ~deadline() { *done_ = true; }

private:
    std::shared_ptr<std::atomic<bool>> done_ = std::make_shared<std::atomic<bool>>(false);
};
