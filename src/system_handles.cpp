// Handles, events and waits.

#include "system_handles.h"

#include "agent.h"

namespace {

void do_not_close(HANDLE) {}

}  // namespace

void close_handle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    LOG_TRACE(L"close_handle: close handle: handle=0x%x", reinterpret_cast<std::uintptr_t>(handle));
    if (!CloseHandle(handle)) {
        DWORD error = GetLastError();
        LOG_FATAL_AND_EXIT(L"CloseHandle failed: error=%u", error);
    }
}

shared_handle make_unowned_handle(HANDLE handle) { return shared_handle(handle, do_not_close); }

shared_handle duplicate_handle(const shared_handle& source, bool inheritable) {
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), source.get(), GetCurrentProcess(), &duplicate, 0, inheritable,
                         DUPLICATE_SAME_ACCESS))
        throw_last_error(L"DuplicateHandle");
    return shared_handle(duplicate);
}

shared_handle get_current_process_handle(bool inheritable) {
    return duplicate_handle(shared_handle(GetCurrentProcess()), inheritable);
}

DWORD get_process_id(const shared_handle& process) { return GetProcessId(process.get()); }

shared_handle create_event() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) throw_last_error(L"CreateEvent");
    return shared_handle(event);
}

bool wait_for_single_handle(const shared_handle& handle, DWORD timeout) {
    DWORD result = WaitForSingleObject(handle.get(), timeout);
    switch (result) {
    case WAIT_OBJECT_0:
        return true;
    case WAIT_ABANDONED:
        LOG_FATAL_AND_EXIT(L"object abandoned");
    case WAIT_TIMEOUT:
        if (timeout == INFINITE) LOG_FATAL_AND_EXIT(L"infinite wait not infinite");
        return false;
    default:
        throw_last_error(L"WaitForSingleObject");
    }
}

std::size_t wait_for_one_of_multiple_handles(const std::vector<shared_handle>& handles, DWORD timeout) {
    std::vector<HANDLE> raw;
    raw.reserve(handles.size());
    for (const shared_handle& handle : handles) raw.push_back(handle.get());
    DWORD count = static_cast<DWORD>(raw.size());
    DWORD result = WaitForMultipleObjects(count, raw.data(), FALSE, timeout);
    if (result < WAIT_OBJECT_0 + count) return result - WAIT_OBJECT_0;
    // An abandoned mutex still ends the wait for its holder's successor: treat it as signalled.
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) return result - WAIT_ABANDONED_0;
    if (result == WAIT_TIMEOUT) {
        if (timeout == INFINITE) LOG_FATAL_AND_EXIT(L"infinite wait not infinite");
        return handles.size();
    }
    throw_last_error(L"WaitForMultipleObjects");
}

void write_all(const shared_handle& handle, const void* data, DWORD size) {
    const char* next = static_cast<const char*>(data);
    DWORD remaining = size;
    do {
        DWORD written = 0;
        if (!WriteFile(handle.get(), next, remaining, &written, nullptr)) throw_last_error(L"WriteFile");
        // A non-blocking pipe with a full buffer reports success with nothing written; asking again
        // would spin for as long as its reader does not read.
        if (written == 0 && remaining > 0) throw system_exception(AGENT_HERE, L"WriteFile", ERROR_WRITE_FAULT);
        next += written;
        remaining -= written;
    } while (remaining > 0);
}
