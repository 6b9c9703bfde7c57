#pragma once
// Replacement of an older generation's service of this agent home by this program's own service.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "registry.h"
#include "services.h"

// Decision codes of `service_replacement_operation::status`.
enum replacement_status : std::int32_t {
    replacement_undecided = 0,          // a file-access check failed
    replaceable_running = 1,
    replaceable_not_running = 2,
    replacement_not_installed = 3,
    replacement_not_replaceable = 4,
    replacement_insufficient_access = 5,
    replacement_new_service_installed = 6,
};

class service_replacement_operation {
public:
    service_replacement_operation() = default;
    service_replacement_operation(const service_replacement_operation&) = delete;
    service_replacement_operation& operator=(const service_replacement_operation&) = delete;

    // Decides on first use (and again while no decision could be made).
    std::int32_t status();
    void prepare_for_replacement();
    // Removes the old service and its registry subtree and installs this home's service with the old
    // start mode, as LocalSystem. Only after a decision of 1 or 2.
    void replace_service();

private:
    void decide(const service_record& record, const std::wstring& executable);
    bool kill_old_service();
    void remove_old_service();

    std::int32_t status_ = replacement_undecided;
    service_handle_ptr manager_;
    service_handle_ptr service_;
    std::vector<regkey_handle_ptr> keys_;
};

// Ends the process when it is this process's parent or a further ancestor and waits up to three
// seconds for its end: true when it ended. A process that is no ancestor, is gone or may not be
// opened is left alone (false).
bool kill_ancestor_service_process(DWORD pid);

// The old service's delayed-start flag. A service manager that does not know delayed start answers
// the query with ERROR_INVALID_LEVEL; it cannot hold a delayed service, so that answer means false.
bool is_service_start_delayed(const service_handle_ptr& service);

// "delayed", "auto", "manual" or "disabled": the start mode that keeps an old service's start type.
std::wstring start_mode_for(DWORD start_type, bool delayed);
