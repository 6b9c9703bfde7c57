// Ancestors from a toolhelp snapshot. Snapshots are out of date as soon as they are taken, so every
// ancestor is checked against its creation time before it is used: a process created after us
// cannot be our ancestor, whatever id it now has.

#include "process_ancestry.h"

#include <tlhelp32.h>

#include "agent.h"
#include "processes.h"

namespace {

DWORD parent_of(const std::vector<process_link>& table, DWORD pid) {
    for (const process_link& link : table) {
        if (link.pid == pid) return link.parent_pid;
    }
    return 0;
}

std::vector<process_link> snapshot_table() {
    shared_handle snapshot = create_process_snapshot();
    return list_processes(snapshot);
}

}  // namespace

shared_handle create_process_snapshot() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) throw_last_error(L"CreateToolhelp32Snapshot");
    return shared_handle(snapshot);
}

std::vector<process_link> list_processes(const shared_handle& snapshot) {
    std::vector<process_link> table;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) {
        if (GetLastError() == ERROR_NO_MORE_FILES) return table;
        throw_last_error(L"Process32FirstW");
    }
    do {
        table.push_back(process_link{entry.th32ProcessID, entry.th32ParentProcessID});
    } while (Process32NextW(snapshot.get(), &entry));
    if (GetLastError() != ERROR_NO_MORE_FILES) throw_last_error(L"Process32NextW");
    return table;
}

shared_handle open_process(DWORD pid, DWORD access) {
    DWORD rights = access | PROCESS_QUERY_LIMITED_INFORMATION;
    HANDLE process = OpenProcess(rights, FALSE, pid);
    if (process == nullptr) {
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER) AGENT_THROW(process_not_found_exception, pid);
        last_error_translator translator(L"OpenProcess", error);
        translator.permissions = rights;
        translator.translate();
    }
    return shared_handle(process);
}

shared_handle get_ancestor_handle(DWORD pid, DWORD access) {
    shared_handle process = open_process(pid, access);
    if (get_process_creation_time(process) > get_process_creation_time(get_current_process_handle(false)))
        AGENT_THROW(ancestor_process_not_found_exception, pid);
    return process;
}

shared_handle open_ancestor_process_by_depth(int depth, DWORD access) {
    if (depth < 0) LOG_FATAL_AND_EXIT(L"invalid depth: depth=%d", depth);
    if (depth == 0) return get_current_process_handle(false);
    DWORD own = GetProcessId(GetCurrentProcess());
    LOG_DEBUG(L"current pid=%u", static_cast<unsigned>(own));
    std::vector<process_link> table = snapshot_table();
    DWORD pid = own;
    DWORD last = own;
    for (int generation = 0; generation < depth; ++generation) {
        last = pid;
        DWORD parent = parent_of(table, pid);
        LOG_DEBUG(L"parent pid=%u", static_cast<unsigned>(parent));
        // No chain is longer than the table; a longer walk is going round a cycle of reused ids.
        if (parent == 0 || static_cast<std::size_t>(generation) >= table.size())
            AGENT_THROW(ancestor_process_not_found_exception, last);
        pid = parent;
    }
    // A process without a parent of its own (the top of the tree) is never a target.
    if (parent_of(table, pid) == 0) AGENT_THROW(ancestor_process_not_found_exception, last);
    return get_ancestor_handle(pid, access);
}

shared_handle open_ancestor_process_by_pid(DWORD pid) {
    DWORD own = GetProcessId(GetCurrentProcess());
    if (pid == own) return get_current_process_handle(false);
    LOG_DEBUG(L"current pid=%u", static_cast<unsigned>(own));
    std::vector<process_link> table = snapshot_table();
    DWORD current = own;
    DWORD last = own;
    // After id reuse the parent links may form a cycle; a walk longer than the table is one.
    std::size_t steps = 0;
    while (current != pid) {
        last = current;
        current = parent_of(table, current);
        LOG_DEBUG(L"parent pid=%u", static_cast<unsigned>(current));
        if (current == 0 || ++steps > table.size()) AGENT_THROW(ancestor_process_not_found_exception, last);
    }
    if (parent_of(table, pid) == 0) AGENT_THROW(ancestor_process_not_found_exception, last);
    return get_ancestor_handle(pid, SYNCHRONIZE | PROCESS_TERMINATE);
}

bool wait_for_parent_exit(DWORD timeout) {
    try {
        shared_handle parent = open_ancestor_process_by_depth(1, SYNCHRONIZE);
        return wait_for_single_handle(parent, timeout);
    } catch (const system_access_denied_exception&) {
        return false;
    } catch (const process_not_found_exception&) {
        return true;
    }
}
