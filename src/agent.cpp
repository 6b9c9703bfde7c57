// Exception classes of the shared header: locations, messages and system message texts.

#include "agent.h"

application_exception::application_exception(const source_site& site)
    : file_name_(base_file_name(site.file)), function_name_(site.function), line_(site.line) {}

std::wstring application_exception::message() const {
    return format_text(L"%s(%s:%d): %s", function_name_, file_name_, line_, detail());
}

system_exception::system_exception(const source_site& site, std::wstring call, std::uint32_t error)
    : application_exception(site), call_(std::move(call)), error_(error) {}

std::wstring system_exception::call_text() const {
    // Codes above 0x10000 are NTSTATUS or HRESULT values, readable only in hexadecimal.
    if (error_ > 0x10000) return format_text(L"call=%s(0x%x)", call_, error_);
    return format_text(L"call=%s(%u)", call_, error_);
}

std::wstring system_exception::detail() const {
    return format_text(L"system call failed: %s system_msg=[%s]", call_text(), system_message());
}

std::wstring system_exception::system_message() const {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error_,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length == 0) return format_text(L"<cannot find message (error=%u)", error_);
    local_memory_ptr<wchar_t> owner(buffer);
    std::wstring text(buffer, length);
    trim(text);
    return text;
}

system_access_denied_exception::system_access_denied_exception(const source_site& site, std::wstring call,
                                                               std::uint32_t permissions)
    : system_exception(site, std::move(call), ERROR_ACCESS_DENIED), permissions_(permissions) {}

std::wstring system_access_denied_exception::detail() const {
    return format_text(L"access denied: permissions=0x%08X call=%s(%u)", permissions_, call(), error());
}

system_sharing_violation_exception::system_sharing_violation_exception(const source_site& site, std::wstring call,
                                                                       std::wstring path)
    : system_exception(site, std::move(call), ERROR_SHARING_VIOLATION), path_(std::move(path)) {}

std::wstring system_sharing_violation_exception::detail() const {
    return format_text(L"sharing violation: path=[%s] call=%s(%u)", path_, call(), error());
}

system_file_not_found_exception::system_file_not_found_exception(const source_site& site, std::wstring call,
                                                                 std::wstring path)
    : system_exception(site, std::move(call), ERROR_FILE_NOT_FOUND), path_(std::move(path)) {}

std::wstring system_file_not_found_exception::detail() const {
    return format_text(L"file not found: path=[%s] call=%s(%u)", path_, call(), error());
}

file_exception::file_exception(const source_site& site, std::wstring call, std::uint32_t error,
                               std::wstring description, std::wstring path)
    : system_exception(site, std::move(call), error), description_(std::move(description)), path_(std::move(path)) {}

std::wstring file_exception::detail() const {
    return format_text(L"%s: path=[%s] call=%s(%u)", description_, path_, call(), error());
}

registry_exception::registry_exception(const source_site& site, std::wstring call, std::uint32_t error,
                                       std::wstring key)
    : system_exception(site, std::move(call), error), key_(std::move(key)) {}

// The registry text says "service call failed" on purpose: log readers search for it.
std::wstring registry_exception::detail() const {
    return format_text(L"service call failed: key=[%s] call=%s(%u) system_msg=[%s]", key_, call(), error(),
                       system_message());
}

registry_access_denied_exception::registry_access_denied_exception(const source_site& site, std::wstring call,
                                                                   std::wstring key, std::uint32_t permissions)
    : registry_exception(site, std::move(call), ERROR_ACCESS_DENIED, std::move(key)), permissions_(permissions) {}

std::wstring registry_access_denied_exception::detail() const {
    return format_text(L"registry access denied: key=[%s] permissions=0x%08X call=%s(%u)", key(), permissions_, call(),
                       error());
}

registry_key_not_found_exception::registry_key_not_found_exception(const source_site& site, std::wstring call,
                                                                   std::wstring key)
    : registry_exception(site, std::move(call), ERROR_FILE_NOT_FOUND, std::move(key)) {}

std::wstring registry_key_not_found_exception::detail() const {
    return format_text(L"registry key not found: key=[%s] call=%s(%u)", key(), call(), error());
}

service_manager_access_denied_exception::service_manager_access_denied_exception(const source_site& site,
                                                                                 std::wstring call,
                                                                                 std::uint32_t permissions)
    : service_manager_exception(site, std::move(call), ERROR_ACCESS_DENIED), permissions_(permissions) {}

std::wstring service_manager_access_denied_exception::detail() const {
    return format_text(L"service manager access denied: permissions=0x%08X call=%s(%u)", permissions_, call(),
                       error());
}

service_exception::service_exception(const source_site& site, std::wstring call, std::uint32_t error,
                                     std::wstring service)
    : service_system_exception(site, std::move(call), error), service_(std::move(service)) {}

std::wstring service_exception::detail() const {
    return format_text(L"service call failed: service=[%s] call=%s(%u) system_msg=[%s]", service_, call(), error(),
                       system_message());
}

service_access_denied_exception::service_access_denied_exception(const source_site& site, std::wstring call,
                                                                 std::wstring service, std::uint32_t permissions)
    : service_exception(site, std::move(call), ERROR_ACCESS_DENIED, std::move(service)), permissions_(permissions) {}

std::wstring service_access_denied_exception::detail() const {
    return format_text(L"service access denied: service=[%s] permissions=0x%08X call=%s(%u)", service(), permissions_,
                       call(), error());
}

service_does_not_exist_exception::service_does_not_exist_exception(const source_site& site, std::wstring call,
                                                                   std::wstring service)
    : service_exception(site, std::move(call), ERROR_SERVICE_DOES_NOT_EXIST, std::move(service)) {}

std::wstring service_does_not_exist_exception::detail() const {
    return format_text(L"service does not exist: service=[%s] call=%s(%u)", service(), call(), error());
}

service_request_timeout_exception::service_request_timeout_exception(const source_site& site, std::wstring call,
                                                                     std::wstring service)
    : service_exception(site, std::move(call), ERROR_SERVICE_REQUEST_TIMEOUT, std::move(service)) {}

std::wstring service_request_timeout_exception::detail() const {
    return format_text(L"service request timed out: service=[%s] call=%s(%u)", service(), call(), error());
}

service_operation_exception::service_operation_exception(const source_site& site, std::wstring service,
                                                         std::wstring operation)
    : service_exception(site, L"", 0, std::move(service)), operation_(std::move(operation)) {}

// The unbalanced ")" is part of the established text.
std::wstring service_operation_exception::detail() const {
    return format_text(L"service operation failed: service=[%s] operation=%s)", service(), operation_);
}

std::wstring service_timeout_exception::detail() const {
    return format_text(L"service operation timed out: service=[%s] operation=%s)", service(), operation());
}

jvm_not_found_exception::jvm_not_found_exception(const source_site& site, std::wstring java_home)
    : jvm_exception(site), java_home_(std::move(java_home)) {}

std::wstring jvm_not_found_exception::detail() const {
    return format_text(L"JVM DLL not found: java_home=[%s]", java_home_);
}

java_exe_not_found_exception::java_exe_not_found_exception(const source_site& site, std::wstring java_home)
    : jvm_exception(site), java_home_(std::move(java_home)) {}

std::wstring java_exe_not_found_exception::detail() const {
    return format_text(L"java.exe not found: java_home=[%s]", java_home_);
}

jvm_load_exception::jvm_load_exception(const source_site& site, std::wstring jvm_dll, std::wstring description,
                                       std::wstring call, std::uint32_t error)
    : jvm_exception(site),
      jvm_dll_(std::move(jvm_dll)),
      description_(std::move(description)),
      call_(std::move(call)),
      error_(error) {}

std::wstring jvm_load_exception::detail() const {
    return format_text(L"%s: jvm_dll=[%s] call=%s(%u)", description_, jvm_dll_, call_, error_);
}

jvm_creation_exception::jvm_creation_exception(const source_site& site, std::wstring jvm_dll, std::int32_t status)
    : jvm_load_exception(site, std::move(jvm_dll), L"JVM creation failed", L"", 0), status_(status) {}

std::wstring jvm_creation_exception::detail() const {
    return format_text(L"%s (%d): jvm_dll=[%s]", description(), status_, jvm_dll());
}

process_not_found_exception::process_not_found_exception(const source_site& site, std::uint32_t pid)
    : application_exception(site), pid_(pid) {}

std::wstring process_not_found_exception::detail() const { return format_text(L"process not found: pid=%u", pid_); }

std::wstring ancestor_process_not_found_exception::detail() const {
    return format_text(L"ancestor process not found: descendant_pid=%u", pid());
}

bad_handle_string::bad_handle_string(const source_site& site, std::wstring call, std::wstring input_string,
                                     std::int32_t errno_value)
    : application_exception(site),
      call_(std::move(call)),
      input_string_(std::move(input_string)),
      errno_value_(errno_value) {}

std::wstring bad_handle_string::detail() const {
    return format_text(L"bad handle string: input_string=[%s] call=%s(errno=%d)", input_string_, call_, errno_value_);
}

void log_current_exception_and_exit(const source_site& site) {
    try {
        throw;
    } catch (const application_exception& e) {
        log_message(L"FATAL", false, &e, site.file, site.line, site.function,
                    format_text(L"Exception:\n  %s", e.message()));
    } catch (const std::exception& e) {
        log_message(L"FATAL", true, nullptr, site.file, site.line, site.function,
                    format_text(L"Non-application exception:\n  %s", to_wstring(e.what())));
    } catch (...) {
        log_message(L"FATAL", true, nullptr, site.file, site.line, site.function, L"Uncaught exception");
    }
    exit_process(1);
}
