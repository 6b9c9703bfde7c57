// Drives the logger and the stack traces from a real process, for the end-to-end tests.

#include <cwchar>

#include "agent.h"

namespace {

[[gnu::noinline]] void fail_deep_inside() {
    AGENT_THROW(system_exception, L"ProbeCall", 87);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring what = argc > 1 ? argv[1] : L"";
    if (what == L"fatal") LOG_FATAL_AND_EXIT(L"probe fatal: %d", 42);
    if (what == L"error-with-exception") {
        try {
            fail_deep_inside();
        } catch (const application_exception& e) {
            LOG_EXCEPTION(L"ERROR", e, L"caught:\n  %s", e.message());
            // A second print must give the same lines without resolving again.
            e.print_stack_trace(stderr);
        }
        return 0;
    }
    if (what == L"levels") {
        LOG_TRACE(L"trace line");
        LOG_DEBUG(L"debug line");
        LOG_INFO(L"info line");
        return 0;
    }
    return 2;
}
