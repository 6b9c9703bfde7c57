#pragma once
// The program's door to the Windows service control manager, and this installation's service name.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The fixed first part of every installation's service name.
inline constexpr wchar_t service_base_name[] = L"olvar-tesk-agent";

// service_base_name, a hyphen and the first 32 lower-case hexadecimal digits of the SHA-256 of the
// agent home's UTF-16LE text with A-Z lower-cased: every home gets its own service, and homes that
// differ only in letter case (one directory to Windows) get the same one. Computed once.
const std::wstring& get_service_name();

// How long the service host waits for the agent to end after a stop request before it reports the
// service stopped regardless.
inline constexpr DWORD agent_stop_grace_ms = 30000;
// How long Windows waits at a reboot for the service to stop after the preshutdown request: the
// host's grace with a margin (Windows' own default is 10 s since Windows 10 1703).
inline constexpr DWORD preshutdown_timeout_ms = agent_stop_grace_ms + 15000;

// ---- service control manager access -------------------------------------------------------------

// One open handle of the service control manager, of the manager itself (named "\SCM") or of one
// service (named by the service). Always shared: the exceptions of a call take the name from it.
// The holder exists, with its name, before the call that opens the handle; a holder whose call failed
// never gets a handle and is dropped without a close.
class service_handle_info {
public:
    explicit service_handle_info(std::wstring name) : name_(std::move(name)) {}
    service_handle_info(const service_handle_info&) = delete;
    service_handle_info& operator=(const service_handle_info&) = delete;
    ~service_handle_info();

    // Stores the handle of a successful open; a null handle or a second one is a broken program.
    void init_handle(SC_HANDLE handle);
    // The stored handle; reading it before it was stored is a broken program.
    SC_HANDLE get_handle() const;
    const std::wstring& name() const { return name_; }

private:
    SC_HANDLE handle_ = nullptr;
    std::wstring name_;
};

using service_handle_ptr = std::shared_ptr<service_handle_info>;

struct service_record {
    std::wstring service_name;
    std::wstring binary_path;  // empty when the service could not be opened
    std::wstring account;      // empty when the service could not be opened
    std::uint32_t process_id;  // 0 when not running
};

// Empty, "LocalSystem" or ".\LocalSystem" in any letter case.
bool is_local_system(const std::wstring& account);

service_handle_ptr open_service_manager(DWORD rights);
service_handle_ptr open_service(const service_handle_ptr& manager, const std::wstring& name, DWORD rights);
// LocalSystem gets no account and no password; LocalService and NetworkService no password.
service_handle_ptr create_service(const service_handle_ptr& manager, const std::wstring& name,
                                  const std::wstring& display_name, const std::wstring& command_line,
                                  DWORD start_type, const std::wstring& account, const std::wstring& password);
void delete_service(const service_handle_ptr& service);
// True for a service that was deleted while a handle to it stays open somewhere, and that goes when
// the last one is closed. The handle needs SERVICE_CHANGE_CONFIG.
bool is_marked_for_deletion(const service_handle_ptr& service);
void start_service(const service_handle_ptr& service);
// Sends the stop control; `status` receives the service's status. A service that has already gone
// (broken pipe, process aborted) counts as stopped by the request and leaves `status` as it was.
SERVICE_STATUS& stop_service(const service_handle_ptr& service, SERVICE_STATUS& status);
SERVICE_STATUS query_service_status(const service_handle_ptr& service);
SERVICE_STATUS_PROCESS query_service_status_process(const service_handle_ptr& service);
// Fill `buffer` (grown as needed) and return the record at its start.
const QUERY_SERVICE_CONFIGW& query_service_config(const service_handle_ptr& service, std::vector<BYTE>& buffer);
const SERVICE_DELAYED_AUTO_START_INFO& query_service_config2(const service_handle_ptr& service,
                                                             std::vector<BYTE>& buffer);
// One batch of ENUM_SERVICE_STATUS_PROCESSW entries into `buffer`; true while more batches follow.
bool enum_service_status(const service_handle_ptr& manager, std::vector<BYTE>& buffer, DWORD& count,
                         DWORD& resume_handle);
// Every Win32 service with its command line and account; one that may not be read is still listed.
std::vector<service_record> enumerate_services(const service_handle_ptr& manager);
// One enumerated service with its configuration (empty when it may not be read); nothing when the
// service no longer exists.
std::optional<service_record> query_service_record(const service_handle_ptr& manager, const std::wstring& name,
                                                   std::uint32_t process_id, std::vector<BYTE>& config_buffer);
void set_service_start_delayed(const service_handle_ptr& service);
void set_service_preshutdown_timeout(const service_handle_ptr& service, DWORD timeout_ms);

// ---- waiting on service state --------------------------------------------------------------------

// The pause between two status queries: a tenth of the wait hint, at least 1 and at most 10 seconds.
DWORD wait_time_for_hint(DWORD wait_hint);
void sleep_for_wait_hint(DWORD wait_hint);
// Queries until the state differs from `pending_state`, or until the check point has not moved for
// longer than the latest wait hint; returns the last status queried.
SERVICE_STATUS wait_while_pending(const service_handle_ptr& service, DWORD pending_state);
// True when this call started the service and it runs; false when it was neither stopped nor stopping.
bool start_service_and_await_running(const service_handle_ptr& service);
// True when this call stopped the service; false when it was stopped or stopped on its own.
bool stop_service_and_await_stopped(const service_handle_ptr& service);

// ---- installation ---------------------------------------------------------------------------------

// The account a service is registered with, for a user that is not LocalSystem: as given when it names
// its domain ("DOMAIN\name", ".\name") or is a user principal name ("name@domain"); a bare name gets
// the domain that the account look-up found.
std::wstring registered_account_name(const std::wstring& user, const std::wstring& domain);

// Registers this installation's service, stopped: start mode "", "auto", "delayed", "manual" or
// "disabled"; an empty user is LocalSystem. Any other account may then query, start and stop it. At a
// reboot the service gets preshutdown_timeout_ms to stop.
void install_application_service(const service_handle_ptr& manager, const std::wstring& start_mode,
                                 const std::wstring& user, const std::wstring& password);
