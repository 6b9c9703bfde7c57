#pragma once
// Shared header of agent.exe: the exception classes, the translation of Windows error codes into
// them, ownership of memory that Windows allocated, and the small text utilities.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "logging.h"
#include "stack_trace.h"

// ---- text utilities -------------------------------------------------------------------------

std::string to_string(const std::wstring& text);
std::wstring to_wstring(const std::string& text);
void trim(std::wstring& text);
bool equals_ignore_case(const std::wstring& a, const std::wstring& b);
std::vector<std::wstring> split_command_line(const std::wstring& command_line);
// Arguments after a command's program, split by the same rules: quoted parts keep their blanks.
std::vector<std::wstring> split_arguments(const std::wstring& text);

void set_program_arguments(int argc, wchar_t** argv);
void log_app_startup();
// What logs show instead of a password: a fixed mask, so that not even its length is given away.
std::wstring redact_secret(const std::wstring& secret);
// An argument as logs show it: "--password" in any letter case, then "=" or ":", keeps only the mask
// of what follows. An argument after such an option without a value ("--password", "--password=") is
// masked whole: that is where the user put the password. `previous` is the argument before, or null.
std::wstring redact_secret_argument(const std::wstring& argument, const wchar_t* previous);
// A JVM option as logs show it: the value of a -D option whose name ends in "password", "passwd",
// "secret" or "token" (any letter case) is masked.
std::wstring redact_secret_option(const std::wstring& option);

// ---- exceptions ------------------------------------------------------------------------------

#define AGENT_THROW(exception_class, ...) throw exception_class(AGENT_HERE, __VA_ARGS__)
// Throws exception_class(site, call, last error, ...) for a failed Windows call. The error is read
// before anything else is evaluated: building the throw site or the other arguments may allocate, and
// an allocation may change the last error.
#define AGENT_THROW_LAST_ERROR(exception_class, call, ...)                                     \
    do {                                                                                     \
        DWORD agent_last_error = GetLastError();                                             \
        throw exception_class(AGENT_HERE, call, agent_last_error __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

// Common marker of every access-denied class, so that one handler catches them all.
class access_denied_exception {
public:
    virtual ~access_denied_exception() = default;
};

class application_exception : public std::exception {
public:
    explicit application_exception(const source_site& site);
    const char* what() const noexcept override { return "Unknown exception"; }

    const wchar_t* file_name() const { return file_name_; }
    int line() const { return line_; }
    const wchar_t* function_name() const { return function_name_; }
    const ::stack_trace& stack_trace() const { return trace_; }
    void print_stack_trace(FILE* stream) const { trace_.print(stream); }

    // "function(file:line): detail"
    std::wstring message() const;

protected:
    virtual std::wstring detail() const = 0;

private:
    ::stack_trace trace_;
    const wchar_t* file_name_;
    const wchar_t* function_name_;
    int line_;
};

class system_exception : public application_exception {
public:
    system_exception(const source_site& site, std::wstring call, std::uint32_t error);
    const char* what() const noexcept override { return "system call failed"; }
    const std::wstring& call() const { return call_; }
    std::uint32_t error() const { return error_; }
    std::wstring system_message() const;

protected:
    std::wstring detail() const override;
    // "call=%s(%u)", or hexadecimal for NTSTATUS-like codes above 0x10000.
    std::wstring call_text() const;

private:
    std::wstring call_;
    std::uint32_t error_;
};

class system_access_denied_exception : public system_exception, public virtual access_denied_exception {
public:
    system_access_denied_exception(const source_site& site, std::wstring call, std::uint32_t permissions);
    const char* what() const noexcept override { return "system call failed: access denied"; }
    std::uint32_t permissions() const { return permissions_; }

protected:
    std::wstring detail() const override;

private:
    std::uint32_t permissions_;
};

class system_sharing_violation_exception : public system_exception {
public:
    system_sharing_violation_exception(const source_site& site, std::wstring call, std::wstring path);
    const char* what() const noexcept override { return "system call failed: sharing violation"; }
    const std::wstring& path() const { return path_; }

protected:
    std::wstring detail() const override;

private:
    std::wstring path_;
};

class system_file_not_found_exception : public system_exception {
public:
    system_file_not_found_exception(const source_site& site, std::wstring call, std::wstring path);
    const char* what() const noexcept override { return "system call failed: file not found"; }
    const std::wstring& path() const { return path_; }

protected:
    std::wstring detail() const override;

private:
    std::wstring path_;
};

class file_exception : public system_exception {
public:
    file_exception(const source_site& site, std::wstring call, std::uint32_t error, std::wstring description,
                   std::wstring path);
    const char* what() const noexcept override { return "file call failed"; }
    const std::wstring& path() const { return path_; }
    const std::wstring& description() const { return description_; }

protected:
    std::wstring detail() const override;

private:
    std::wstring description_;
    std::wstring path_;
};

class file_access_denied_exception : public file_exception, public virtual access_denied_exception {
public:
    using file_exception::file_exception;
    const char* what() const noexcept override { return "file access denied"; }
};

class file_not_found_exception : public file_exception {
public:
    using file_exception::file_exception;
    const char* what() const noexcept override { return "file not found"; }
};

class registry_exception : public system_exception {
public:
    registry_exception(const source_site& site, std::wstring call, std::uint32_t error, std::wstring key);
    const std::wstring& key() const { return key_; }

protected:
    std::wstring detail() const override;

private:
    std::wstring key_;
};

class registry_access_denied_exception : public registry_exception, public virtual access_denied_exception {
public:
    registry_access_denied_exception(const source_site& site, std::wstring call, std::wstring key,
                                     std::uint32_t permissions);
    std::uint32_t permissions() const { return permissions_; }

protected:
    std::wstring detail() const override;

private:
    std::uint32_t permissions_;
};

class registry_key_not_found_exception : public registry_exception {
public:
    registry_key_not_found_exception(const source_site& site, std::wstring call, std::wstring key);

protected:
    std::wstring detail() const override;
};

class service_system_exception : public system_exception {
public:
    using system_exception::system_exception;
    const char* what() const noexcept override { return "service call failed"; }
};

class service_manager_exception : public service_system_exception {
public:
    using service_system_exception::service_system_exception;
};

class service_manager_access_denied_exception : public service_manager_exception,
                                                public virtual access_denied_exception {
public:
    service_manager_access_denied_exception(const source_site& site, std::wstring call, std::uint32_t permissions);
    const char* what() const noexcept override { return "service call failed: service manager access denied"; }
    std::uint32_t permissions() const { return permissions_; }

protected:
    std::wstring detail() const override;

private:
    std::uint32_t permissions_;
};

class service_exception : public service_system_exception {
public:
    service_exception(const source_site& site, std::wstring call, std::uint32_t error, std::wstring service);
    const std::wstring& service() const { return service_; }

protected:
    std::wstring detail() const override;

private:
    std::wstring service_;
};

class service_access_denied_exception : public service_exception, public virtual access_denied_exception {
public:
    service_access_denied_exception(const source_site& site, std::wstring call, std::wstring service,
                                    std::uint32_t permissions);
    const char* what() const noexcept override { return "service call failed: service access denied"; }
    std::uint32_t permissions() const { return permissions_; }

protected:
    std::wstring detail() const override;

private:
    std::uint32_t permissions_;
};

class service_does_not_exist_exception : public service_exception {
public:
    service_does_not_exist_exception(const source_site& site, std::wstring call, std::wstring service);

protected:
    std::wstring detail() const override;
};

class service_request_timeout_exception : public service_exception {
public:
    service_request_timeout_exception(const source_site& site, std::wstring call, std::wstring service);

protected:
    std::wstring detail() const override;
};

class service_operation_exception : public service_exception {
public:
    service_operation_exception(const source_site& site, std::wstring service, std::wstring operation);
    const std::wstring& operation() const { return operation_; }

protected:
    std::wstring detail() const override;

private:
    std::wstring operation_;
};

class service_timeout_exception : public service_operation_exception {
public:
    using service_operation_exception::service_operation_exception;

protected:
    std::wstring detail() const override;
};

class jvm_exception : public application_exception {
public:
    using application_exception::application_exception;
};

class jvm_not_found_exception : public jvm_exception {
public:
    jvm_not_found_exception(const source_site& site, std::wstring java_home);
    const char* what() const noexcept override { return "jvm not found"; }
    const std::wstring& java_home() const { return java_home_; }

protected:
    std::wstring detail() const override;

private:
    std::wstring java_home_;
};

class java_exe_not_found_exception : public jvm_exception {
public:
    java_exe_not_found_exception(const source_site& site, std::wstring java_home);
    const char* what() const noexcept override { return "java.exe not found"; }
    const std::wstring& java_home() const { return java_home_; }

protected:
    std::wstring detail() const override;

private:
    std::wstring java_home_;
};

class jvm_load_exception : public jvm_exception {
public:
    jvm_load_exception(const source_site& site, std::wstring jvm_dll, std::wstring description, std::wstring call,
                       std::uint32_t error);
    const char* what() const noexcept override { return "jvm load failed"; }
    const std::wstring& jvm_dll() const { return jvm_dll_; }
    const std::wstring& description() const { return description_; }
    const std::wstring& call() const { return call_; }
    std::uint32_t error() const { return error_; }

protected:
    std::wstring detail() const override;

private:
    std::wstring jvm_dll_;
    std::wstring description_;
    std::wstring call_;
    std::uint32_t error_;
};

class jvm_creation_exception : public jvm_load_exception {
public:
    jvm_creation_exception(const source_site& site, std::wstring jvm_dll, std::int32_t status);
    const char* what() const noexcept override { return "jvm creation failed"; }
    std::int32_t status() const { return status_; }

protected:
    std::wstring detail() const override;

private:
    std::int32_t status_;
};

class process_not_found_exception : public application_exception {
public:
    process_not_found_exception(const source_site& site, std::uint32_t pid);
    std::uint32_t pid() const { return pid_; }

protected:
    std::wstring detail() const override;

private:
    std::uint32_t pid_;
};

class ancestor_process_not_found_exception : public process_not_found_exception {
public:
    using process_not_found_exception::process_not_found_exception;

protected:
    std::wstring detail() const override;
};

class bad_handle_string : public application_exception {
public:
    bad_handle_string(const source_site& site, std::wstring call, std::wstring input_string, std::int32_t errno_value);
    const char* what() const noexcept override { return "bad handle string"; }
    const std::wstring& call() const { return call_; }
    const std::wstring& input_string() const { return input_string_; }
    std::int32_t errno_value() const { return errno_value_; }

protected:
    std::wstring detail() const override;

private:
    std::wstring call_;
    std::wstring input_string_;
    std::int32_t errno_value_;
};

// Turns the error code of a failed Windows call into the matching exception.
struct last_error_translator {
    std::wstring call;
    std::uint32_t error;
    std::uint32_t permissions = 0;
    std::wstring path;

    last_error_translator(std::wstring call_name, std::uint32_t error_code)
        : call(std::move(call_name)), error(error_code) {}

    [[noreturn]] void translate() const {
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
            throw system_file_not_found_exception(AGENT_HERE, call, path);
        case ERROR_ACCESS_DENIED:
            throw system_access_denied_exception(AGENT_HERE, call, permissions);
        case ERROR_SHARING_VIOLATION:
            throw system_sharing_violation_exception(AGENT_HERE, call, path);
        default:
            throw system_exception(AGENT_HERE, call, error);
        }
    }
};

// Reads GetLastError before anything else can run and throws what it stands for.
[[noreturn]] inline void throw_last_error(const wchar_t* call) {
    DWORD error = GetLastError();  // before the call name's string is built, which may allocate
    last_error_translator(call, error).translate();
}

// Inside a catch block: logs the exception being handled at FATAL, with its own trace (or one
// captured now), and ends the process with exit code 1. For the entry point and for callbacks of
// the service manager and the JVM, which must not let an exception escape.
[[noreturn]] void log_current_exception_and_exit(const source_site& site);

// ---- memory that Windows allocated with LocalAlloc semantics -----------------------------------

template <typename T>
class local_memory_ptr {
public:
    struct deleter {
        void operator()(T* pointer) const {
            if (is_trace_enabled()) {
                ::log_message(L"TRACE", false, nullptr, AGENT_FILE, __LINE__, AGENT_FUNC,
                              format_text(L"local_memory_ptr: free: ptr=0x%x\n", reinterpret_cast<std::uintptr_t>(pointer)));
            }
            LocalFree(const_cast<void*>(static_cast<const void*>(pointer)));
        }
    };

    local_memory_ptr() = default;
    explicit local_memory_ptr(T* pointer) : pointer_(pointer) {
        if (pointer_ != nullptr) {
            LOG_TRACE(L"local_memory_ptr: allocate: ptr=0x%x", reinterpret_cast<std::uintptr_t>(pointer_));
        }
    }
    local_memory_ptr(const local_memory_ptr&) = delete;
    local_memory_ptr& operator=(const local_memory_ptr&) = delete;
    local_memory_ptr(local_memory_ptr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    local_memory_ptr& operator=(local_memory_ptr&& other) noexcept {
        if (this != &other) {
            reset();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }
    ~local_memory_ptr() { reset(); }

    T* get() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }
    void reset() {
        if (pointer_ != nullptr) deleter{}(std::exchange(pointer_, nullptr));
    }

private:
    T* pointer_ = nullptr;
};
