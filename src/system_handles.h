#pragma once
// Shared ownership of Windows handles, events and the two waits the program uses.

#include <windows.h>

#include <memory>
#include <type_traits>
#include <vector>

// Closes a handle unless it is null or INVALID_HANDLE_VALUE (which is also the current-process
// pseudo-handle). A failing close means a broken program and ends the process.
void close_handle(HANDLE handle);

// A reference-counted owner of one raw handle; the last copy runs the deleter once.
class shared_handle {
public:
    using deleter_type = void (*)(HANDLE);

    shared_handle() = default;
    explicit shared_handle(HANDLE handle, deleter_type deleter = close_handle)
        : owner_(handle, deleter) {}

    HANDLE get() const { return owner_.get(); }
    explicit operator bool() const { return get() != nullptr && get() != INVALID_HANDLE_VALUE; }
    void reset() { owner_.reset(); }

private:
    std::shared_ptr<std::remove_pointer_t<HANDLE>> owner_;
};

shared_handle make_unowned_handle(HANDLE handle);
shared_handle duplicate_handle(const shared_handle& source, bool inheritable);
shared_handle get_current_process_handle(bool inheritable);
DWORD get_process_id(const shared_handle& process);
// An unnamed manual-reset event, not signalled.
shared_handle create_event();

// True when signalled, false when a finite timeout expired.
bool wait_for_single_handle(const shared_handle& handle, DWORD timeout);
// Position of the first signalled handle, or handles.size() when a finite timeout expired.
std::size_t wait_for_one_of_multiple_handles(const std::vector<shared_handle>& handles, DWORD timeout);

void write_all(const shared_handle& handle, const void* data, DWORD size);
