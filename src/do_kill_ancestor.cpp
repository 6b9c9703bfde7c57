// "_kill_ancestor" and "_check_kill_ancestor": end, or test whether we could end, the process a
// given number of generations above this one.

#include <cerrno>
#include <cwchar>

#include "agent.h"
#include "commands.h"
#include "process_ancestry.h"
#include "processes.h"

namespace {

[[noreturn]] void answer(FILE* stream, const wchar_t* text, int exit_code) {
    fwprintf(stream, L"%ls", text);
    exit_process(exit_code);
}

int parse_depth(const wchar_t* text) {
    errno = 0;
    wchar_t* end = nullptr;
    long value = std::wcstol(text, &end, 10);
    if (end == text) answer(stderr, L"depth unparseable\n", 1);
    if (errno == ERANGE) answer(stderr, L"depth out-of-range\n", 1);
    return static_cast<int>(value);
}

void kill_ancestor(bool check_only, int argc, wchar_t** argv) {
    if (argc < 1) answer(stderr, L"depth required\n", 1);
    int depth = parse_depth(argv[0]);
    if (depth < 0) answer(stderr, L"depth negative\n", 1);
    shared_handle target;
    try {
        target = open_ancestor_process_by_depth(depth, SYNCHRONIZE | PROCESS_TERMINATE);
    } catch (const system_access_denied_exception&) {
        if (check_only) answer(stdout, L"2\n", 0);
        answer(stderr, L"access denied\n", 1);
    } catch (const process_not_found_exception&) {
        if (check_only) answer(stdout, L"3\n", 0);
        answer(stderr, L"process not found\n", 1);
    }
    DWORD pid = get_process_id(target);
    LOG_DEBUG(L"pid=%d", static_cast<int>(pid));
    if (check_only) answer(stdout, L"1\n", 0);
    if (!TerminateProcess(target.get(), 1)) throw_last_error(L"TerminateProcess");
    switch (WaitForSingleObject(target.get(), 5000)) {
    case WAIT_OBJECT_0:
        exit_process(0);
    case WAIT_ABANDONED:
        LOG_FATAL_AND_EXIT(L"object abandoned");
    case WAIT_TIMEOUT:
        if (get_exit_code(target) == STILL_ACTIVE) {
            fwprintf(stderr, L"process failed to terminate in time: pid=%u\n", static_cast<unsigned>(pid));
            exit_process(1);
        }
        return;
    default:
        throw_last_error(L"WaitForSingleObject");
    }
}

}  // namespace

void do_kill_ancestor(int argc, wchar_t** argv) { kill_ancestor(false, argc, argv); }

void do_check_kill_ancestor(int argc, wchar_t** argv) { kill_ancestor(true, argc, argv); }
