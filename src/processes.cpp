// Child processes: command lines, exact handle inheritance, captured output, exit codes.

#include "processes.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>

#include "agent.h"
#include "environment.h"

namespace {

std::wstring escape_argument(const std::wstring& text, bool quoted) {
    std::wstring result;
    if (quoted) result.push_back(L'"');
    std::size_t position = 0;
    for (;;) {
        std::size_t backslashes = 0;
        while (position < text.size() && text[position] == L'\\') {
            ++backslashes;
            ++position;
        }
        if (position == text.size()) {
            // Inside quotes the closing quote follows: each trailing backslash must be doubled or it
            // would escape that quote.
            result.append(quoted ? 2 * backslashes : backslashes, L'\\');
            break;
        }
        if (text[position] == L'"') {
            result.append(2 * backslashes + 1, L'\\');
        } else {
            result.append(backslashes, L'\\');
        }
        result.push_back(text[position]);
        ++position;
    }
    if (quoted) result.push_back(L'"');
    return result;
}

// The handle list a child inherits. The list refers to the handle array, so both live together.
class thread_attribute_list {
public:
    thread_attribute_list(const std::vector<shared_handle>& inherit, const shared_handle& first,
                          const shared_handle& second, const shared_handle& third) {
        for (const shared_handle& handle : inherit) add(handle.get());
        add(first.get());
        add(second.get());
        add(third.get());
        if (handles_.empty()) return;

        SIZE_T size = 0;
        if (!InitializeProcThreadAttributeList(nullptr, 1, 0, &size)) {
            DWORD error = GetLastError();
            if (error != ERROR_INSUFFICIENT_BUFFER)
                last_error_translator(L"InitializeProcThreadAttributeList", error).translate();
        }
        buffer_.resize(size);
        auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) throw_last_error(L"InitializeProcThreadAttributeList");
        list_.reset(list);
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                       handles_.size() * sizeof(HANDLE), nullptr, nullptr))
            throw_last_error(L"UpdateProcThreadAttribute");
    }
    thread_attribute_list(const thread_attribute_list&) = delete;
    thread_attribute_list& operator=(const thread_attribute_list&) = delete;

    // Null when there is nothing to inherit.
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_.get(); }

private:
    // CreateProcessW rejects a handle list that names a handle twice or holds a value that is no
    // handle at all (INVALID_HANDLE_VALUE is the current-process pseudo-handle).
    void add(HANDLE handle) {
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
        // Console handles before Windows 8 are no kernel handles (their low two bits are set) and
        // make CreateProcessW fail when listed; a child on the same console can use them unlisted.
        if ((reinterpret_cast<std::uintptr_t>(handle) & 3) == 3 && GetFileType(handle) == FILE_TYPE_CHAR) return;
        if (std::find(handles_.begin(), handles_.end(), handle) != handles_.end()) return;
        handles_.push_back(handle);
    }

    struct list_deleter {
        void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const { DeleteProcThreadAttributeList(list); }
    };

    std::vector<HANDLE> handles_;
    std::vector<unsigned char> buffer_;
    // Declared last: the list is deleted before the memory it lives in goes.
    std::unique_ptr<std::remove_pointer_t<LPPROC_THREAD_ATTRIBUTE_LIST>, list_deleter> list_;
};

void set_inheritable(const shared_handle& handle, bool inheritable) {
    if (!SetHandleInformation(handle.get(), HANDLE_FLAG_INHERIT, inheritable ? HANDLE_FLAG_INHERIT : 0))
        throw_last_error(L"SetHandleInformation");
}

shared_handle open_for_redirection(const std::wstring& path, bool write) {
    HANDLE handle = CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED)
            throw file_access_denied_exception(AGENT_HERE, L"CreateFileW", error,
                                               write ? L"write access denied" : L"read access denied", path);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            throw file_not_found_exception(AGENT_HERE, L"CreateFileW", error, L"file not found", path);
        throw file_exception(AGENT_HERE, L"CreateFileW", error, write ? L"open for write failed" : L"open for read failed",
                             path);
    }
    return shared_handle(handle);
}

// An inheritable duplicate of one of this process's standard handles, or an empty holder when the
// process has none (a service or detached process).
shared_handle inheritable_standard_handle(DWORD which) {
    shared_handle handle = make_unowned_handle(GetStdHandle(which));
    if (!handle) return shared_handle();
    return duplicate_handle(handle, true);
}

shared_handle start_process(const std::wstring& command_line, bool inherit_handles, DWORD flags,
                            std::wstring* environment_block, STARTUPINFOEXW& startup) {
    std::wstring command = command_line;  // CreateProcessW may write into the command line it is given.
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, inherit_handles, flags,
                        environment_block ? environment_block->data() : nullptr, nullptr,
                        &startup.StartupInfo, &info)) {
        DWORD error = GetLastError();
        last_error_translator failure(L"CreateProcessW", error);
        failure.path = command_line;
        failure.translate();
    }
    shared_handle process(info.hProcess);
    CloseHandle(info.hThread);
    return process;
}

constexpr DWORD creation_flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;

}  // namespace

std::wstring quote_argument(const std::wstring& argument) {
    if (argument.empty()) return L"\"\"";
    if (argument.find_first_of(L" \t") != std::wstring::npos) return escape_argument(argument, true);
    if (argument.find(L'"') != std::wstring::npos) return escape_argument(argument, false);
    return argument;
}

std::wstring build_command_line(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    std::wstring command_line = quote_argument(program);
    for (const std::wstring& argument : arguments) {
        command_line.push_back(L' ');
        command_line += quote_argument(argument);
    }
    return command_line;
}

shared_handle create_process(const std::wstring& command_line, const std::vector<std::wstring>& environment,
                             const std::vector<shared_handle>& inherit, const std::wstring& output_path,
                             bool detached) {
    std::optional<std::wstring> environment_block;
    if (!environment.empty()) environment_block = make_environment_block(environment);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    shared_handle input;
    shared_handle output;
    shared_handle error;
    if (!output_path.empty()) {
        input = open_for_redirection(L"NUL", false);
        output = open_for_redirection(output_path, true);
        set_inheritable(input, true);
        set_inheritable(output, true);
        startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = input.get();
        startup.StartupInfo.hStdOutput = output.get();
        startup.StartupInfo.hStdError = output.get();
    } else if (!inherit.empty() && !detached) {
        // With a handle list the child inherits nothing else, its standard handles included: Windows
        // still copies their values into the child, which then writes into handles it does not
        // have and its output is lost. So they are handed over explicitly, as inheritable copies.
        input = inheritable_standard_handle(STD_INPUT_HANDLE);
        output = inheritable_standard_handle(STD_OUTPUT_HANDLE);
        error = inheritable_standard_handle(STD_ERROR_HANDLE);
        startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = input.get();
        startup.StartupInfo.hStdOutput = output.get();
        startup.StartupInfo.hStdError = error.get();
    }

    std::optional<thread_attribute_list> attributes;
    if (!inherit.empty() || !output_path.empty()) {
        attributes.emplace(inherit, input, output, error);
        startup.lpAttributeList = attributes->get();
    }
    bool inherit_handles = startup.lpAttributeList != nullptr;
    DWORD flags = creation_flags | (detached ? DETACHED_PROCESS : 0);
    return start_process(command_line, inherit_handles, flags, environment_block ? &*environment_block : nullptr,
                         startup);
}

shared_handle create_process_with_output(const std::wstring& command_line, std::vector<char>& output,
                                         const std::vector<std::wstring>& environment) {
    std::optional<std::wstring> environment_block;
    if (!environment.empty()) environment_block = make_environment_block(environment);
    shared_handle input = inheritable_standard_handle(STD_INPUT_HANDLE);
    shared_handle error = inheritable_standard_handle(STD_ERROR_HANDLE);

    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, TRUE};
    if (!CreatePipe(&read_raw, &write_raw, &security, 512)) throw_last_error(L"CreatePipe");
    shared_handle read_end(read_raw);
    shared_handle write_end(write_raw);
    set_inheritable(read_end, false);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = write_end.get();
    startup.StartupInfo.hStdError = error.get();

    shared_handle process;
    {
        thread_attribute_list attributes({}, input, write_end, error);
        startup.lpAttributeList = attributes.get();
        process = start_process(command_line, true, creation_flags, environment_block ? &*environment_block : nullptr,
                                startup);
    }
    // The pipe reports its end only when no write end is left open, this process's included.
    write_end.reset();
    input.reset();
    error.reset();

    char buffer[4096];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(read_end.get(), buffer, sizeof buffer, &count, nullptr)) {
            DWORD failure = GetLastError();
            if (failure == ERROR_BROKEN_PIPE) break;
            last_error_translator(L"ReadFile", failure).translate();
        }
        output.insert(output.end(), buffer, buffer + count);
    }
    return process;
}

DWORD get_exit_code(const shared_handle& process) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) throw_last_error(L"GetExitCodeProcess");
    return code;
}

std::int64_t get_process_creation_time(const shared_handle& process) {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &creation, &exit, &kernel, &user)) throw_last_error(L"GetProcessTimes");
    std::uint64_t intervals = (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    std::uint64_t milliseconds = intervals / 10000 - 11644473600000ULL;
    constexpr std::uint64_t largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(std::min(milliseconds, largest));
}
