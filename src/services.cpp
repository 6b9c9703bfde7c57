// Service control manager access and the service name of this installation.

#include "services.h"

#include <algorithm>

#include "agent.h"
#include "agent_home.h"
#include "fileio.h"
#include "security.h"
#include "sha256.h"
#include "version_banner.h"

namespace {

// Only A-Z fold: a locale-dependent mapping would give one home different names on different
// machines, and the name is the key under which the service stays registered.
std::wstring fold_ascii_letters(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

std::wstring make_service_name() {
    const std::wstring& exe_path = get_agent_exe_path();
    if (exe_path.find(L'\\') == std::wstring::npos)
        LOG_FATAL_AND_EXIT(L"Invalid module: no directory: path=[%s]", exe_path);
    // wchar_t is UTF-16LE on Windows, so the string's own bytes are the hashed text.
    std::wstring home = fold_ascii_letters(get_agent_home());
    // A home at a drive's root is "X:\", but its service has always been named after "x:": installed
    // services must keep being found.
    if (is_drive_root(home)) home.pop_back();
    hasher digest;
    digest.update(home.data(), static_cast<std::uint32_t>(home.size() * sizeof(wchar_t)));
    return std::wstring(service_base_name) + L"-" + to_hex(digest.finish()).substr(0, 32);
}

}  // namespace

const std::wstring& get_service_name() {
    static const std::wstring* const name = new std::wstring(make_service_name());
    return *name;
}

// ---- service control manager access -------------------------------------------------------------

namespace {

const wchar_t manager_name[] = L"\\SCM";

std::wstring optional_text(const wchar_t* text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

// Grows `buffer` to the size the call asked for and repeats until the record fits.
template <typename Call>
void fill_growing(std::vector<BYTE>& buffer, DWORD initial_size, const service_handle_ptr& service,
                  const wchar_t* call_name, Call call) {
    if (buffer.size() < initial_size) buffer.resize(initial_size);
    for (;;) {
        DWORD needed = 0;
        if (call(buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) return;
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size())
            throw service_exception(AGENT_HERE, call_name, error, service->name());
        buffer.resize(needed);
    }
}

}  // namespace

service_handle_info::~service_handle_info() {
    if (handle_ == nullptr) return;
    LOG_TRACE(L"close service handle: handle=0x%x name=%s", reinterpret_cast<std::uintptr_t>(handle_), name_);
    CloseServiceHandle(handle_);
}

void service_handle_info::init_handle(SC_HANDLE handle) {
    if (handle == nullptr) LOG_FATAL_AND_EXIT(L"handle init to nullptr");
    if (handle_ != nullptr) LOG_FATAL_AND_EXIT(L"handle already initialized");
    handle_ = handle;
    LOG_TRACE(L"open service handle: handle=0x%x name=%s", reinterpret_cast<std::uintptr_t>(handle_), name_);
}

SC_HANDLE service_handle_info::get_handle() const {
    if (handle_ == nullptr) LOG_FATAL_AND_EXIT(L"handle not initialized");
    return handle_;
}

bool is_local_system(const std::wstring& account) {
    return account.empty() || equals_ignore_case(account, L".\\LocalSystem") ||
           equals_ignore_case(account, L"LocalSystem");
}

std::wstring registered_account_name(const std::wstring& user, const std::wstring& domain) {
    // "DOMAIN\name" with a domain in front would name no account, and neither would "name@domain"
    // (a user principal name, which the service manager takes as it is).
    if (user.find_first_of(L"\\@") != std::wstring::npos) return user;
    return domain + L"\\" + user;
}

service_handle_ptr open_service_manager(DWORD rights) {
    auto manager = std::make_shared<service_handle_info>(manager_name);
    SC_HANDLE handle = OpenSCManagerW(nullptr, nullptr, rights);
    if (handle == nullptr) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED)
            throw service_manager_access_denied_exception(AGENT_HERE, L"OpenSCManagerW", rights);
        throw service_manager_exception(AGENT_HERE, L"OpenSCManagerW", error);
    }
    manager->init_handle(handle);
    return manager;
}

service_handle_ptr open_service(const service_handle_ptr& manager, const std::wstring& name, DWORD rights) {
    auto service = std::make_shared<service_handle_info>(name);
    SC_HANDLE handle = OpenServiceW(manager->get_handle(), name.c_str(), rights);
    if (handle == nullptr) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED)
            throw service_access_denied_exception(AGENT_HERE, L"OpenServiceW", name, rights);
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            throw service_does_not_exist_exception(AGENT_HERE, L"OpenServiceW", name);
        throw service_exception(AGENT_HERE, L"OpenServiceW", error, name);
    }
    service->init_handle(handle);
    return service;
}

service_handle_ptr create_service(const service_handle_ptr& manager, const std::wstring& name,
                                  const std::wstring& display_name, const std::wstring& command_line,
                                  DWORD start_type, const std::wstring& account, const std::wstring& password) {
    // The built-in service accounts have no password; the manager rejects one given for them.
    const wchar_t* account_argument = nullptr;
    const wchar_t* password_argument = nullptr;
    if (!is_local_system(account)) {
        account_argument = account.c_str();
        if (!equals_ignore_case(account, L"NT AUTHORITY\\LocalService") &&
            !equals_ignore_case(account, L"NT AUTHORITY\\NetworkService"))
            password_argument = password.c_str();
    }
    LOG_DEBUG(L"will create service: name=[%s] display_name=[%s] command_line=[%s] user=[%s]", name, display_name,
              command_line, account);
    auto service = std::make_shared<service_handle_info>(name);
    SC_HANDLE handle = CreateServiceW(manager->get_handle(), name.c_str(), display_name.c_str(), SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, start_type, SERVICE_ERROR_NORMAL,
                                      command_line.c_str(), nullptr, nullptr, nullptr, account_argument,
                                      password_argument);
    if (handle == nullptr) AGENT_THROW_LAST_ERROR(service_exception, L"CreateServiceW", name);
    service->init_handle(handle);
    LOG_DEBUG(L"did create service");
    return service;
}

void delete_service(const service_handle_ptr& service) {
    LOG_DEBUG(L"will delete service: name=[%s]", service->name());
    if (!DeleteService(service->get_handle()))
        AGENT_THROW_LAST_ERROR(service_exception, L"DeleteService", service->name());
    LOG_DEBUG(L"did delete service");
}

bool is_marked_for_deletion(const service_handle_ptr& service) {
    // A change that changes nothing is refused with this error only, for a service marked for deletion.
    if (ChangeServiceConfigW(service->get_handle(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        return false;
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) return true;
    throw service_exception(AGENT_HERE, L"ChangeServiceConfigW", error, service->name());
}

void start_service(const service_handle_ptr& service) {
    LOG_DEBUG(L"will start service: name=[%s]", service->name());
    if (!StartServiceW(service->get_handle(), 0, nullptr))
        AGENT_THROW_LAST_ERROR(service_exception, L"StartServiceW", service->name());
    LOG_DEBUG(L"did start service");
}

SERVICE_STATUS& stop_service(const service_handle_ptr& service, SERVICE_STATUS& status) {
    LOG_DEBUG(L"will stop service: name=[%s]", service->name());
    // ControlService writes into its record even when it fails; the caller's status must survive an
    // error that is taken as success.
    SERVICE_STATUS answer = status;
    if (ControlService(service->get_handle(), SERVICE_CONTROL_STOP, &answer)) {
        status = answer;
    } else {
        DWORD error = GetLastError();
        // The service process ended while the request was under way: it is stopping or gone.
        if (error == ERROR_BROKEN_PIPE) {
            LOG_DEBUG(L"ControlService produced ERROR_BROKEN_PIPE -- ignoring");
        } else if (error == ERROR_PROCESS_ABORTED) {
            LOG_DEBUG(L"ControlService produced ERROR_PROCESS_ABORTED -- ignoring");
        } else if (error == ERROR_SERVICE_REQUEST_TIMEOUT) {
            throw service_request_timeout_exception(AGENT_HERE, L"ControlService", service->name());
        } else {
            throw service_exception(AGENT_HERE, L"ControlService", error, service->name());
        }
    }
    LOG_DEBUG(L"did stop service");
    return status;
}

SERVICE_STATUS query_service_status(const service_handle_ptr& service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service->get_handle(), &status))
        AGENT_THROW_LAST_ERROR(service_exception, L"QueryServiceStatus", service->name());
    return status;
}

SERVICE_STATUS_PROCESS query_service_status_process(const service_handle_ptr& service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service->get_handle(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed))
        AGENT_THROW_LAST_ERROR(service_exception, L"QueryServiceStatusEx", service->name());
    return status;
}

const QUERY_SERVICE_CONFIGW& query_service_config(const service_handle_ptr& service, std::vector<BYTE>& buffer) {
    fill_growing(buffer, 512, service, L"QueryServiceConfigW", [&](BYTE* data, DWORD size, DWORD* needed) {
        return QueryServiceConfigW(service->get_handle(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(data), size,
                                   needed);
    });
    return *reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
}

const SERVICE_DELAYED_AUTO_START_INFO& query_service_config2(const service_handle_ptr& service,
                                                             std::vector<BYTE>& buffer) {
    fill_growing(buffer, 4, service, L"QueryServiceConfig2W", [&](BYTE* data, DWORD size, DWORD* needed) {
        return QueryServiceConfig2W(service->get_handle(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, data, size,
                                    needed);
    });
    return *reinterpret_cast<const SERVICE_DELAYED_AUTO_START_INFO*>(buffer.data());
}

bool enum_service_status(const service_handle_ptr& manager, std::vector<BYTE>& buffer, DWORD& count,
                         DWORD& resume_handle) {
    DWORD size = std::max<DWORD>(1024, static_cast<DWORD>(buffer.size()));
    for (;;) {
        buffer.resize(size);
        DWORD needed = 0;
        count = 0;
        if (EnumServicesStatusExW(manager->get_handle(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                                  buffer.data(), size, &needed, &count, &resume_handle, nullptr))
            return false;
        DWORD error = GetLastError();
        if (error != ERROR_MORE_DATA) throw service_manager_exception(AGENT_HERE, L"EnumServicesStatusExW", error);
        if (count > 0) return true;
        // Not even one entry fitted.
        size *= 2;
    }
}

std::vector<service_record> enumerate_services(const service_handle_ptr& manager) {
    std::vector<service_record> records;
    std::vector<BYTE> buffer;
    std::vector<BYTE> config_buffer;
    DWORD count = 0;
    DWORD resume_handle = 0;
    bool more = true;
    while (more) {
        more = enum_service_status(manager, buffer, count, resume_handle);
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            std::optional<service_record> record = query_service_record(
                manager, entries[i].lpServiceName, entries[i].ServiceStatusProcess.dwProcessId, config_buffer);
            if (record) records.push_back(std::move(*record));
        }
    }
    return records;
}

std::optional<service_record> query_service_record(const service_handle_ptr& manager, const std::wstring& name,
                                                   std::uint32_t process_id, std::vector<BYTE>& config_buffer) {
    service_record record{name, L"", L"", process_id};
    try {
        service_handle_ptr service = open_service(manager, name, SERVICE_QUERY_CONFIG);
        const QUERY_SERVICE_CONFIGW& config = query_service_config(service, config_buffer);
        record.binary_path = optional_text(config.lpBinaryPathName);
        record.account = optional_text(config.lpServiceStartName);
    } catch (const service_access_denied_exception&) {
        LOG_DEBUG(L"service_access_denied_exception");
    } catch (const service_does_not_exist_exception&) {
        // Deleted since the enumeration listed it.
        LOG_DEBUG(L"service gone: name=[%s]", name);
        return std::nullopt;
    }
    return record;
}

void set_service_start_delayed(const service_handle_ptr& service) {
    SERVICE_DELAYED_AUTO_START_INFO info{TRUE};
    if (!ChangeServiceConfig2W(service->get_handle(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info))
        AGENT_THROW_LAST_ERROR(service_exception, L"ChangeServiceConfig2W", service->name());
}

void set_service_preshutdown_timeout(const service_handle_ptr& service, DWORD timeout_ms) {
    SERVICE_PRESHUTDOWN_INFO info{timeout_ms};
    if (!ChangeServiceConfig2W(service->get_handle(), SERVICE_CONFIG_PRESHUTDOWN_INFO, &info))
        AGENT_THROW_LAST_ERROR(service_exception, L"ChangeServiceConfig2W", service->name());
}

// ---- waiting on service state --------------------------------------------------------------------

DWORD wait_time_for_hint(DWORD wait_hint) { return std::clamp<DWORD>(wait_hint / 10, 1000, 10000); }

void sleep_for_wait_hint(DWORD wait_hint) {
    DWORD wait_time = wait_time_for_hint(wait_hint);
    LOG_DEBUG(L"sleeping: wait_time=%u hint=%u", wait_time, wait_hint);
    Sleep(wait_time);
}

SERVICE_STATUS wait_while_pending(const service_handle_ptr& service, DWORD pending_state) {
    SERVICE_STATUS status = query_service_status(service);
    ULONGLONG start = GetTickCount64();
    DWORD last_check_point = status.dwCheckPoint;
    while (status.dwCurrentState == pending_state) {
        sleep_for_wait_hint(status.dwWaitHint);
        status = query_service_status(service);
        if (status.dwCheckPoint > last_check_point) {
            start = GetTickCount64();
            last_check_point = status.dwCheckPoint;
            continue;
        }
        // No progress for longer than the service promised.
        if (GetTickCount64() - start > status.dwWaitHint) break;
    }
    return status;
}

bool start_service_and_await_running(const service_handle_ptr& service) {
    SERVICE_STATUS status = query_service_status(service);
    if (status.dwCurrentState == SERVICE_STOP_PENDING) {
        status = wait_while_pending(service, SERVICE_STOP_PENDING);
        if (status.dwCurrentState == SERVICE_STOP_PENDING)
            throw service_timeout_exception(AGENT_HERE, service->name(), L"finish-stop-before-start");
    } else if (status.dwCurrentState != SERVICE_STOPPED) {
        return false;
    }
    start_service(service);
    status = wait_while_pending(service, SERVICE_START_PENDING);
    if (status.dwCurrentState == SERVICE_START_PENDING)
        throw service_timeout_exception(AGENT_HERE, service->name(), L"start");
    if (status.dwCurrentState != SERVICE_RUNNING)
        throw service_operation_exception(AGENT_HERE, service->name(), L"start");
    return true;
}

bool stop_service_and_await_stopped(const service_handle_ptr& service) {
    for (int attempts = 1;; ++attempts) {
        SERVICE_STATUS status = query_service_status(service);
        if (status.dwCurrentState == SERVICE_STOPPED) {
            LOG_DEBUG(L"stop_service_and_await_stopped: SERVICE_STOPPED");
            return false;
        }
        if (status.dwCurrentState == SERVICE_STOP_PENDING) {
            status = wait_while_pending(service, SERVICE_STOP_PENDING);
            if (status.dwCurrentState == SERVICE_STOPPED) return false;
            throw service_timeout_exception(AGENT_HERE, service->name(), L"finish-stop");
        }
        // A refused request is sent once more after a fresh look at the state; the second refusal is final.
        // The manager refuses a stop while the service does not accept one (it is still starting, for
        // example), and an immediate repeat would meet the same refusal: the service gets one pause first.
        try {
            stop_service(service, status);
        } catch (const application_exception& e) {
            if (attempts >= 2) throw;
            LOG_DEBUG(L"stop request failed, trying again: %s", e.message());
            sleep_for_wait_hint(status.dwWaitHint);
            continue;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) return true;
        status = wait_while_pending(service, status.dwCurrentState);
        if (status.dwCurrentState == SERVICE_STOP_PENDING)
            throw service_timeout_exception(AGENT_HERE, service->name(), L"stop");
        if (status.dwCurrentState != SERVICE_STOPPED)
            throw service_operation_exception(AGENT_HERE, service->name(), L"stop");
        return true;
    }
}

// ---- installation ---------------------------------------------------------------------------------

namespace {

// Deletes the service it holds when it goes, unless the installation was completed: a service that
// exists is taken as installed, so a half-configured one must not stay behind.
class installation_rollback {
public:
    explicit installation_rollback(service_handle_ptr service) : service_(std::move(service)) {}
    installation_rollback(const installation_rollback&) = delete;
    installation_rollback& operator=(const installation_rollback&) = delete;
    ~installation_rollback() {
        if (!service_) return;
        LOG_WARN(L"Installation incomplete, removing the service again: service=[%s]", service_->name());
        try {
            delete_service(service_);
        } catch (const application_exception& e) {
            LOG_EXCEPTION(L"WARN ", e, L"Incompletely installed service not removed:\n  %s", e.message());
        }
    }
    void complete() { service_.reset(); }

private:
    service_handle_ptr service_;
};

// The name to look up for an account given as ".\name": the look-up is not documented to take "."
// for this computer, and a bare name is looked up on this computer first.
std::wstring account_lookup_name(const std::wstring& user) {
    return user.compare(0, 2, L".\\") == 0 ? user.substr(2) : user;
}

DWORD start_type_of(const std::wstring& start_mode) {
    if (start_mode.empty() || start_mode == L"auto" || start_mode == L"delayed") return SERVICE_AUTO_START;
    if (start_mode == L"manual") return SERVICE_DEMAND_START;
    if (start_mode == L"disabled") return SERVICE_DISABLED;
    LOG_FATAL_AND_EXIT(L"Invalid service start mode: mode=[%s]", start_mode);
}

}  // namespace

void install_application_service(const service_handle_ptr& manager, const std::wstring& start_mode,
                                 const std::wstring& user, const std::wstring& password) {
    bool local_system = is_local_system(user);
    std::wstring account = user;
    std::vector<BYTE> sid;
    if (!local_system) {
        account_info info = get_account_info(account_lookup_name(user));
        account = registered_account_name(user, info.domain);
        sid = std::move(info.sid);
    }
    DWORD start_type = start_type_of(start_mode);
    const std::wstring& name = get_service_name();
    std::wstring display_name = get_product_name() + L" (" + get_agent_home() + L")";
    // Quoted, so that a path with blanks starts the program and not a prefix of it.
    std::wstring command_line = L"\"" + get_agent_exe_path() + L"\" _service_continue";
    LOG_INFO(L"Installing service: service=[%s] display=[%s] account=[%s]", name, display_name, account);
    service_handle_ptr service =
        create_service(manager, name, display_name, command_line, start_type, account, password);
    installation_rollback rollback(service);
    if (start_mode == L"delayed") set_service_start_delayed(service);
    set_service_preshutdown_timeout(service, preshutdown_timeout_ms);
    if (!local_system) {
        service_dacl current = get_service_dacl(name);
        // Without a list everyone already holds every right; a list with one entry would take them away.
        if (current.dacl != nullptr) {
            access_control_list list(current.dacl);
            current = service_dacl();
            list.add_access_allowed_entry(sid.data());
            set_service_dacl(name, list);
        } else {
            LOG_DEBUG(L"service has no access list: name=[%s]", name);
        }
    }
    rollback.complete();
}
