#pragma once
// Processes above this one, found through a snapshot and opened safely against reused ids.

#include <windows.h>

#include <vector>

#include "system_handles.h"

struct process_link {
    DWORD pid;
    DWORD parent_pid;
};

shared_handle create_process_snapshot();
std::vector<process_link> list_processes(const shared_handle& snapshot);
shared_handle open_process(DWORD pid, DWORD access);
shared_handle get_ancestor_handle(DWORD pid, DWORD access);
// Depth 0 is this process, 1 its parent, and so on.
shared_handle open_ancestor_process_by_depth(int depth, DWORD access);
shared_handle open_ancestor_process_by_pid(DWORD pid);
// True when the parent ended within the timeout or is gone already.
bool wait_for_parent_exit(DWORD timeout);
