#pragma once
// Access control lists, account look-up, service access lists and the impersonation token.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent.h"

// Rights that a service's own account gets on its service: enough to stop and restart it.
inline constexpr DWORD service_self_control_rights = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;

// One access control list in the platform's binary layout, owned by this object. The storage is
// whole 32-bit words so that the list is always 4-byte aligned, as the ACL functions require.
class access_control_list {
public:
    struct size_info {
        DWORD ace_count;
        DWORD bytes_in_use;
        DWORD bytes_free;
    };

    // A copy of `source`, entry by entry.
    explicit access_control_list(const ACL* source);

    // Appends one existing entry after all present ones.
    void add_ace(const void* ace);
    // Rebuilds the list with an access-allowed entry for `sid` (service_self_control_rights, no
    // inheritance) after the present entries. A failure leaves the list as it was.
    void add_access_allowed_entry(PSID sid);

    ACL* get() { return reinterpret_cast<ACL*>(storage_.data()); }
    const ACL* get() const { return reinterpret_cast<const ACL*>(storage_.data()); }
    size_info get_size_info() const;
    // Bytes of storage, which is also the size the list was initialised with.
    DWORD storage_size() const { return static_cast<DWORD>(storage_.size() * sizeof(std::uint32_t)); }

private:
    std::vector<std::uint32_t> storage_;
};

access_control_list::size_info get_size_info(const ACL* acl);
const void* get_ace(const ACL* acl, DWORD index);

struct account_info {
    std::wstring user_name;
    std::wstring domain;
    std::vector<BYTE> sid;
    SID_NAME_USE use;
};

// The kind of account, as log lines name it ("well-known-group", "undefined(12)").
std::wstring sid_name_use_text(int use);

// Looks the name up on the local system, then in trusted domains. One call with fixed buffers.
account_info get_account_info(const std::wstring& user_name);
std::wstring convert_security_id_to_string(PSID sid);

// A service's discretionary access list; `dacl` points into `descriptor` (null when the service has
// no list at all, which grants everyone everything).
struct service_dacl {
    local_memory_ptr<void> descriptor;
    ACL* dacl = nullptr;
};

service_dacl get_service_dacl(const std::wstring& service_name);
void set_service_dacl(const std::wstring& service_name, access_control_list& list);

// Owner of a token handle.
class access_token {
public:
    explicit access_token(HANDLE handle = nullptr) : handle_(handle) {}
    access_token(const access_token&) = delete;
    access_token& operator=(const access_token&) = delete;
    access_token(access_token&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    access_token& operator=(access_token&& other) noexcept;
    ~access_token();

    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// An impersonation copy of this process's token, for access checks against the current user.
access_token get_impersonation_token();
