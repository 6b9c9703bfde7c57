// Child processes: command lines, exact handle inheritance, captured output, exit codes.

#include "processes.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>

#include "agent.h"
#include "environment.h"
#include "fileio.h"

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

shared_handle inheritable_null_device(bool write) {
    shared_handle handle = open_for_redirection(L"NUL", write);
    set_inheritable(handle, true);
    return handle;
}

// An inheritable duplicate of one of this process's standard handles; NUL when the process has none
// (a service or detached process): its child then reads an end at once and writes into nothing, where
// it would otherwise use the console it gets (see start_process), and wait there for input forever.
shared_handle inheritable_standard_handle(DWORD which) {
    shared_handle handle = make_unowned_handle(GetStdHandle(which));
    if (!handle) return inheritable_null_device(which != STD_INPUT_HANDLE);
    return duplicate_handle(handle, true);
}

shared_handle start_process(const std::wstring& command_line, bool inherit_handles, DWORD flags,
                            std::wstring* environment_block, STARTUPINFOEXW& startup,
                            const std::wstring& directory = L"") {
    // A console program started by a process without a console gets a console of its own, and on
    // Windows that console opens a window on the user's desktop (the background agent and the service
    // would show one at every start). CREATE_NO_WINDOW gives it a console without a window, which the
    // child's own children share. Only for children given their standard handles: any other writes to
    // the console it gets. DETACHED_PROCESS children have no console at all.
    if (!(flags & DETACHED_PROCESS) && (startup.StartupInfo.dwFlags & STARTF_USESTDHANDLES) &&
        GetConsoleWindow() == nullptr)
        flags |= CREATE_NO_WINDOW;
    std::wstring command = command_line;  // CreateProcessW may write into the command line it is given.
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, inherit_handles, flags,
                        environment_block ? environment_block->data() : nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo, &info)) {
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

void use_standard_handles(STARTUPINFOEXW& startup, const shared_handle& input, const shared_handle& output,
                          const shared_handle& error) {
    startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = output.get();
    startup.StartupInfo.hStdError = error.get();
}

// The block a child is given, or none: the child then inherits this process's environment.
std::optional<std::wstring> environment_block_for(const std::vector<std::wstring>& environment) {
    if (environment.empty()) return std::nullopt;
    return make_environment_block(environment);
}

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
    std::optional<std::wstring> environment_block = environment_block_for(environment);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    shared_handle input;
    shared_handle output;
    shared_handle error;
    if (!output_path.empty()) {
        input = inheritable_null_device(false);
        output = open_for_redirection(output_path, true);
        set_inheritable(output, true);
        use_standard_handles(startup, input, output, output);
    } else if (!inherit.empty() && !detached) {
        // With a handle list the child inherits nothing else, its standard handles included: Windows
        // still copies their values into the child, which then writes into handles it does not
        // have and its output is lost. So they are handed over explicitly, as inheritable copies.
        input = inheritable_standard_handle(STD_INPUT_HANDLE);
        output = inheritable_standard_handle(STD_OUTPUT_HANDLE);
        error = inheritable_standard_handle(STD_ERROR_HANDLE);
        use_standard_handles(startup, input, output, error);
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

shared_handle create_process_with_standard_handles(const std::wstring& command_line,
                                                   const std::vector<std::wstring>& environment,
                                                   const shared_handle& output, const std::wstring& directory) {
    std::optional<std::wstring> environment_block = environment_block_for(environment);
    shared_handle input = inheritable_standard_handle(STD_INPUT_HANDLE);
    shared_handle error = inheritable_standard_handle(STD_ERROR_HANDLE);
    shared_handle child_output = output ? output : inheritable_null_device(true);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    use_standard_handles(startup, input, child_output, error);
    thread_attribute_list attributes({}, input, child_output, error);
    startup.lpAttributeList = attributes.get();
    return start_process(command_line, true, creation_flags, environment_block ? &*environment_block : nullptr,
                         startup, directory);
}

output_pipe::output_pipe()
    : name_(format_text(L"\\\\.\\pipe\\olvar-tesk-agent-%u-", static_cast<unsigned>(GetCurrentProcessId())) +
            create_guid()),
      event_(create_event()) {
    // Inbound only: a writer needs write access, which the default security of a pipe gives only to
    // its creator, administrators and LocalSystem. The first instance only, so that the name was not
    // taken before; one instance, so that no second writer gets in.
    HANDLE pipe = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                   64 * 1024, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) throw_last_error(L"CreateNamedPipeW");
    read_end_ = shared_handle(pipe);
}

shared_handle output_pipe::open_write_end() const {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE handle = CreateFileW(name_.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw_last_error(L"CreateFileW");
    return shared_handle(handle);
}

bool output_pipe::complete(OVERLAPPED& overlapped, const shared_handle& writer, DWORD& count) {
    // Once the writer has ended, all it wrote is in the pipe, and a read completes at once while
    // anything is left: one still pending then waits for a write end held elsewhere, and is cancelled.
    if (wait_for_one_of_multiple_handles({event_, writer}, INFINITE) == 1 && !wait_for_single_handle(event_, 0))
        CancelIoEx(read_end_.get(), &overlapped);
    // Waits for the cancellation too: the system writes into `overlapped` until then.
    if (GetOverlappedResult(read_end_.get(), &overlapped, &count, TRUE)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_OPERATION_ABORTED || error == ERROR_BROKEN_PIPE) return false;
    last_error_translator(L"GetOverlappedResult", error).translate();
}

void output_pipe::read_all(const shared_handle& writer, std::vector<char>& output) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    DWORD count = 0;
    if (!ConnectNamedPipe(read_end_.get(), &overlapped)) {
        DWORD error = GetLastError();
        // Connected before the call (ERROR_PIPE_CONNECTED), or connected and closed again with what it
        // wrote still to be read (ERROR_NO_DATA).
        if (error == ERROR_IO_PENDING) {
            if (!complete(overlapped, writer, count)) return;
        } else if (error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) {
            last_error_translator(L"ConnectNamedPipe", error).translate();
        }
    }
    char buffer[16384];
    for (;;) {
        if (!ReadFile(read_end_.get(), buffer, sizeof buffer, nullptr, &overlapped)) {
            DWORD error = GetLastError();
            if (error == ERROR_BROKEN_PIPE) return;
            if (error != ERROR_IO_PENDING) last_error_translator(L"ReadFile", error).translate();
        }
        if (!complete(overlapped, writer, count)) return;
        output.insert(output.end(), buffer, buffer + count);
    }
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
