#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "agent.h"
#include "deadline.h"
#include "processes.h"
#include "system_handles.h"

namespace {

using strings = std::vector<std::wstring>;

// Every wait on a child is bounded by this.
constexpr DWORD child_timeout_ms = 20000;

// Terminates a child that is still running when the test ends, whatever way it ends.
class child_guard {
public:
    explicit child_guard(shared_handle process) : process_(std::move(process)) {}
    ~child_guard() {
        if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.get(), 98);
            WaitForSingleObject(process_.get(), child_timeout_ms);
        }
    }
    const shared_handle& get() const { return process_; }

    // Waits (bounded) and gives the exit code.
    DWORD exit_code() const {
        EXPECT_TRUE(wait_for_single_handle(process_, child_timeout_ms)) << "child did not end in time";
        return get_exit_code(process_);
    }

private:
    shared_handle process_;
};

std::wstring module_directory() {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    return path.substr(0, path.rfind(L'\\'));
}

const std::wstring& probe_path() {
    static const std::wstring path = module_directory() + L"\\child_probe.exe";
    return path;
}

// A fresh directory under the temporary folder, removed with everything in it at the end.
class temporary_directory {
public:
    explicit temporary_directory(const std::wstring& name) {
        std::wstring base(MAX_PATH + 1, L'\0');
        base.resize(GetTempPathW(static_cast<DWORD>(base.size()), base.data()));
        path_ = base + name + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                std::to_wstring(GetTickCount());
        if (!CreateDirectoryW(path_.c_str(), nullptr)) ADD_FAILURE() << "cannot create " << to_string(path_);
    }
    ~temporary_directory() {
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") DeleteFileW((path_ + L"\\" + name).c_str());
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
        RemoveDirectoryW(path_.c_str());
    }
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

std::string read_file(const std::wstring& path) {
    std::string content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<cannot open>";
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) content.append(buffer, count);
    CloseHandle(file);
    return content;
}

void write_file(const std::wstring& path, const std::string& content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

struct captured {
    std::vector<char> output;
    DWORD exit_code;
};

captured run_probe(const strings& arguments) {
    deadline limit(std::chrono::seconds(30), "reading the output of child_probe");
    captured result{};
    child_guard child(create_process_with_output(build_command_line(probe_path(), arguments), result.output));
    result.exit_code = child.exit_code();
    return result;
}

std::string text_of(const std::vector<char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The probe's "argv" answer: each argument as UTF-8 followed by a NUL.
strings split_nul_terminated(const std::vector<char>& bytes) {
    strings result;
    std::string current;
    for (char byte : bytes) {
        if (byte == '\0') {
            result.push_back(to_wstring(current));
            current.clear();
        } else {
            current.push_back(byte);
        }
    }
    return result;
}

strings command_line_to_argv(const std::wstring& command_line) {
    int count = 0;
    local_memory_ptr<LPWSTR> argv(CommandLineToArgvW(command_line.c_str(), &count));
    if (!argv) return {L"<CommandLineToArgvW failed>"};
    return strings(argv.get(), argv.get() + count);
}

// Readable form of an argument list for failure messages: code points outside printable ASCII as \x{..}.
std::string describe(const strings& list) {
    std::string text = "[";
    for (const std::wstring& item : list) {
        text += " <";
        for (wchar_t c : item) {
            if (c >= 0x20 && c < 0x7f) {
                text.push_back(static_cast<char>(c));
            } else {
                char escaped[16];
                std::snprintf(escaped, sizeof escaped, "\\x{%x}", static_cast<unsigned>(c));
                text += escaped;
            }
        }
        text += ">";
    }
    return text + " ]";
}

std::wstring handle_text(const shared_handle& handle) {
    return std::to_wstring(reinterpret_cast<std::uintptr_t>(handle.get()));
}

// ---- quoting ------------------------------------------------------------------------------------

TEST(command_line, quotes_only_what_needs_it) {
    EXPECT_EQ(build_command_line(L"C:\\Program Files\\x\\java.exe",
                                 {L"word", L"", L"two words", L"say\"hi", L"C:\\dir\\"}),
              L"\"C:\\Program Files\\x\\java.exe\" word \"\" \"two words\" say\\\"hi C:\\dir\\");
    // Inside quotes a trailing backslash is doubled so that it does not escape the closing quote.
    EXPECT_EQ(quote_argument(L"C:\\a dir\\"), L"\"C:\\a dir\\\\\"");
    // Backslashes before a quote are doubled and one more escapes the quote; others stay single.
    EXPECT_EQ(quote_argument(L"a\\\\\"b c\\d"), L"\"a\\\\\\\\\\\"b c\\d\"");
    // Without blanks no surrounding quotes: trailing backslashes are literal there.
    EXPECT_EQ(quote_argument(L"a\\\"b\\\\"), L"a\\\\\\\"b\\\\");
    EXPECT_EQ(quote_argument(L"tab\there"), L"\"tab\there\"");
    EXPECT_EQ(build_command_line(L"prog", {}), L"prog");
}

TEST(command_line, generated_argument_lists_survive_the_windows_parser) {
    // Pieces chosen for what breaks quoting: quotes, runs of backslashes, blanks, tabs, text outside
    // ASCII (a surrogate pair included).
    const std::vector<std::wstring> pieces = {L"a",  L"Z",  L"\"", L"\\", L"\\\\", L"\\\\\\", L" ",
                                              L"\t", L"  ", L"=",  L"-D", L"\u00e9", L"\u4e2d",
                                              L"\U0001F600", L"'", L"%", L"^", L"&"};
    const std::vector<std::wstring> programs = {L"prog", L"C:\\Program Files\\agent home\\bin\\agent.exe",
                                                L"C:\\\u00e9t\u00e9\\\u4e2d\\java.exe", L"D:\\a\\b.exe"};
    std::mt19937 random(20240611);
    auto pick = [&random](std::size_t count) {
        return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
    };
    auto started = std::chrono::steady_clock::now();
    int checked = 0;
    for (; checked < 4000; ++checked) {
        if (std::chrono::steady_clock::now() - started > std::chrono::seconds(20)) break;
        strings expected{programs[pick(programs.size())]};
        std::size_t argument_count = pick(6);
        for (std::size_t i = 0; i < argument_count; ++i) {
            std::wstring argument;
            std::size_t length = pick(8);  // 0: the empty argument
            for (std::size_t j = 0; j < length; ++j) argument += pieces[pick(pieces.size())];
            expected.push_back(argument);
        }
        std::wstring command_line = build_command_line(expected[0], strings(expected.begin() + 1, expected.end()));
        strings parsed = command_line_to_argv(command_line);
        if (parsed != expected) {
            ADD_FAILURE() << "case " << checked << "\n expected " << describe(expected) << "\n parsed   "
                          << describe(parsed) << "\n command line " << describe({command_line});
            break;
        }
    }
    EXPECT_GE(checked, 1000) << "too few cases in the time allowed";
}

TEST(command_line, a_real_child_receives_the_arguments_unchanged) {
    const std::vector<strings> cases = {
        {L"plain", L"", L"two words", L"trailing\\", L"blank and trailing\\", L"\"quoted\""},
        {L"a\\\\\"b", L"tab\tinside", L"\\\\server\\share\\", L"-Dx=\"y z\"", L""},
        {L"\u00e9t\u00e9 \u4e2d", L"\U0001F600", L"end\\\\"},
    };
    for (const strings& arguments : cases) {
        strings command{L"argv"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        captured result = run_probe(command);
        EXPECT_EQ(result.exit_code, 0u);
        EXPECT_EQ(split_nul_terminated(result.output), arguments) << describe(arguments);
    }
}

TEST(command_line, a_program_path_with_blanks_and_accents_starts) {
    temporary_directory directory(L"agent test \u00e9");
    std::wstring program = directory.path() + L"\\child probe \u4e2d.exe";
    ASSERT_TRUE(CopyFileW(probe_path().c_str(), program.c_str(), FALSE));
    deadline limit(std::chrono::seconds(30), "reading the output of a copied child_probe");
    std::vector<char> output;
    child_guard child(create_process_with_output(build_command_line(program, {L"argv", L"x y"}), output));
    EXPECT_EQ(child.exit_code(), 0u);
    EXPECT_EQ(split_nul_terminated(output), strings{L"x y"});
}

// ---- captured output and exit codes -----------------------------------------------------------

TEST(process_output, large_single_writes_arrive_complete_and_in_order) {
    for (unsigned size : {4097u, 70000u}) {
        captured result = run_probe({L"write", std::to_wstring(size), L"exit", L"7"});
        ASSERT_EQ(result.output.size(), size);
        for (unsigned i = 0; i < size; ++i) {
            ASSERT_EQ(static_cast<unsigned char>(result.output[i]), i % 251) << "byte " << i << " of " << size;
        }
        EXPECT_EQ(result.exit_code, 7u);
    }
}

TEST(process_output, silent_child_gives_empty_output_and_its_exit_code) {
    captured silent = run_probe({L"exit", L"0"});
    EXPECT_TRUE(silent.output.empty());
    EXPECT_EQ(silent.exit_code, 0u);
    // Codes above 0x7fffffff (crash statuses) come back unchanged.
    EXPECT_EQ(run_probe({L"exit", L"3221225477"}).exit_code, 0xC0000005u);
}

TEST(process_output, appends_to_the_buffer_and_leaves_standard_error_out) {
    deadline limit(std::chrono::seconds(30), "reading the output of child_probe");
    std::vector<char> output{'o', 'l', 'd'};
    child_guard child(create_process_with_output(
        build_command_line(probe_path(), {L"print", L"out", L"eprint", L"to the test's stderr"}), output));
    EXPECT_EQ(child.exit_code(), 0u);
    EXPECT_EQ(text_of(output), "oldout\n");
}

// A parent without standard input or error (a service, a detached process) still runs children.
TEST(process_output, works_when_this_process_has_no_standard_input_or_error) {
    HANDLE saved_input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE saved_error = GetStdHandle(STD_ERROR_HANDLE);
    struct restore {
        HANDLE input, error;
        ~restore() {
            SetStdHandle(STD_INPUT_HANDLE, input);
            SetStdHandle(STD_ERROR_HANDLE, error);
        }
    } restore_on_exit{saved_input, saved_error};

    for (HANDLE missing : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        SetStdHandle(STD_INPUT_HANDLE, missing);
        SetStdHandle(STD_ERROR_HANDLE, missing);
        captured result;
        try {
            result = run_probe({L"print", L"alone", L"drain"});
        } catch (const application_exception& e) {
            ADD_FAILURE() << to_string(e.message());
            continue;
        }
        EXPECT_EQ(text_of(result.output), "alone\n");
        EXPECT_EQ(result.exit_code, 0u);
    }
}

TEST(process_output, a_missing_program_is_an_exception_and_leaks_no_handle) {
    std::wstring missing = module_directory() + L"\\no such program.exe";
    std::vector<char> output;
    DWORD handles_before = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles_before);
    try {
        create_process_with_output(build_command_line(missing, {L"x"}), output);
        ADD_FAILURE() << "no exception";
    } catch (const system_exception& e) {
        EXPECT_EQ(e.call(), L"CreateProcessW");
        EXPECT_EQ(e.error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
        EXPECT_NE(e.message().find(L"no such program.exe"), std::wstring::npos) << to_string(e.message());
    }
    DWORD handles_after = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles_after);
    EXPECT_EQ(handles_after, handles_before);
    EXPECT_TRUE(output.empty());

    EXPECT_THROW(create_process(build_command_line(missing, {}), {}, {}, L"", false), system_file_not_found_exception);
}

// ---- create_process ---------------------------------------------------------------------------

TEST(create_process, output_file_gets_both_streams_after_truncation_and_input_is_empty) {
    temporary_directory directory(L"agent-output");
    std::wstring log = directory.path() + L"\\upgrade.log";
    write_file(log, std::string(10000, 'x'));
    child_guard child(create_process(
        build_command_line(probe_path(), {L"print", L"to stdout", L"eprint", L"to stderr", L"drain", L"exit", L"5"}),
        {}, {}, log, false));
    EXPECT_EQ(child.exit_code(), 5u);
    EXPECT_EQ(read_file(log), "to stdout\nto stderr\n");
}

TEST(create_process, output_file_in_a_missing_directory_is_file_not_found) {
    temporary_directory directory(L"agent-output");
    std::wstring log = directory.path() + L"\\missing\\upgrade.log";
    EXPECT_THROW(create_process(build_command_line(probe_path(), {}), {}, {}, log, false), file_not_found_exception);
}

TEST(create_process, environment_entries_replace_the_environment_and_none_inherits_it) {
    temporary_directory directory(L"agent-env");
    std::wstring out = directory.path() + L"\\env.txt";
    std::wstring command = build_command_line(probe_path(), {L"env", L"PROBE_A", L"env", L"PROBE_B", L"env",
                                                             L"PROBE_PARENT"});
    SetEnvironmentVariableW(L"PROBE_PARENT", L"from parent");
    struct unset {
        ~unset() { SetEnvironmentVariableW(L"PROBE_PARENT", nullptr); }
    } unset_on_exit;

    child_guard own(create_process(command, {L"PROBE_A=1", L"PROBE_B=\u00e9 \u4e2d=x"}, {}, out, false));
    EXPECT_EQ(own.exit_code(), 0u);
    EXPECT_EQ(read_file(out), "1\n\xc3\xa9 \xe4\xb8\xad=x\n<unset>\n");

    child_guard inherited(create_process(command, {}, {}, out, false));
    EXPECT_EQ(inherited.exit_code(), 0u);
    EXPECT_EQ(read_file(out), "<unset>\n<unset>\nfrom parent\n");
}

TEST(create_process, reports_still_active_then_the_exit_code_and_a_recent_creation_time) {
    auto now_ms = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    std::int64_t before = now_ms();
    child_guard child(create_process(build_command_line(probe_path(), {L"sleep", L"2000", L"exit", L"9"}), {}, {},
                                     L"", false));
    EXPECT_EQ(get_exit_code(child.get()), static_cast<DWORD>(STILL_ACTIVE));
    std::int64_t created = get_process_creation_time(child.get());
    EXPECT_GE(created, before - 2000);
    EXPECT_LE(created, now_ms() + 2000);
    EXPECT_LE(get_process_creation_time(get_current_process_handle(false)), created);
    EXPECT_EQ(child.exit_code(), 9u);
}

TEST(create_process, a_detached_child_runs) {
    child_guard child(create_process(build_command_line(probe_path(), {L"exit", L"6"}), {}, {}, L"", true));
    EXPECT_EQ(child.exit_code(), 6u);
}

// ---- handle inheritance -----------------------------------------------------------------------

// Starts the probe with "set-event VALUE" and reports whether the child could use the handle.
bool child_can_use(const shared_handle& target_event, const shared_handle& value_to_pass,
                   const std::vector<shared_handle>& inherit) {
    ResetEvent(target_event.get());
    child_guard child(create_process(build_command_line(probe_path(), {L"set-event", handle_text(value_to_pass)}),
                                     {}, inherit, L"", false));
    DWORD code = child.exit_code();
    bool signalled = WaitForSingleObject(target_event.get(), 0) == WAIT_OBJECT_0;
    EXPECT_EQ(code == 0, signalled) << "exit code " << code;
    return signalled;
}

// Whether this system's CreateProcessW keeps an inheritable handle that is not on the handle list
// out of the child. Asked with plain Windows calls, independent of the code under test; the listed
// handle must reach the child, or the answer is no.
bool system_honours_handle_lists() {
    shared_handle listed = duplicate_handle(create_event(), true);
    shared_handle unlisted = duplicate_handle(create_event(), true);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> buffer(size);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
    HANDLE handles[] = {listed.get()};
    UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles, nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = list;
    std::wstring command = build_command_line(
        probe_path(), {L"set-event", handle_text(listed), L"set-event", handle_text(unlisted)});
    PROCESS_INFORMATION info{};
    BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT,
                                  nullptr, nullptr, &startup.StartupInfo, &info);
    DeleteProcThreadAttributeList(list);
    if (!started) return false;
    CloseHandle(info.hThread);
    child_guard child{shared_handle(info.hProcess)};
    child.exit_code();
    return WaitForSingleObject(listed.get(), 0) == WAIT_OBJECT_0 && WaitForSingleObject(unlisted.get(), 0) != WAIT_OBJECT_0;
}

TEST(handle_inheritance, nothing_without_a_list_and_listed_handles_with_one) {
    shared_handle event = create_event();
    shared_handle inheritable = duplicate_handle(event, true);
    EXPECT_FALSE(child_can_use(event, inheritable, {})) << "inherited although no handle was listed";
    EXPECT_TRUE(child_can_use(event, inheritable, {inheritable})) << "listed handle not inherited";
    // Listing the same handle twice is harmless.
    EXPECT_TRUE(child_can_use(event, inheritable, {inheritable, inheritable}));
}

TEST(handle_inheritance, an_inheritable_handle_off_the_list_stays_out) {
    if (!system_honours_handle_lists())
        GTEST_SKIP() << "this system's CreateProcessW ignores PROC_THREAD_ATTRIBUTE_HANDLE_LIST (Wine 8 does): "
                        "every inheritable handle reaches the child, so exact inheritance cannot be observed here";
    shared_handle listed = duplicate_handle(create_event(), true);
    shared_handle other_event = create_event();
    shared_handle unlisted = duplicate_handle(other_event, true);
    EXPECT_FALSE(child_can_use(other_event, unlisted, {listed}));

    // With an output file and no list, only the two redirection handles go to the child.
    temporary_directory directory(L"agent-inherit");
    child_guard child(create_process(build_command_line(probe_path(), {L"set-event", handle_text(unlisted)}), {},
                                     {}, directory.path() + L"\\out.txt", false));
    EXPECT_EQ(child.exit_code(), 3u);
    EXPECT_NE(WaitForSingleObject(other_event.get(), 0), WAIT_OBJECT_0);
}

// A handle list shuts out the parent's standard handles too unless they are passed explicitly; the
// relay steps of an upgrade would otherwise lose everything they write.
TEST(handle_inheritance, a_child_with_a_list_keeps_this_process_standard_output) {
    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    ASSERT_TRUE(CreatePipe(&read_raw, &write_raw, nullptr, 0));  // not inheritable
    shared_handle read_end(read_raw);
    shared_handle write_end(write_raw);
    HANDLE saved_output = GetStdHandle(STD_OUTPUT_HANDLE);
    struct restore {
        HANDLE output;
        ~restore() { SetStdHandle(STD_OUTPUT_HANDLE, output); }
    } restore_on_exit{saved_output};
    SetStdHandle(STD_OUTPUT_HANDLE, write_end.get());

    shared_handle event = duplicate_handle(create_event(), true);
    child_guard child(create_process(build_command_line(probe_path(), {L"print", L"still here"}), {}, {event}, L"",
                                     false));
    DWORD code = child.exit_code();
    SetStdHandle(STD_OUTPUT_HANDLE, saved_output);
    write_end.reset();
    std::string received;
    char buffer[256];
    DWORD count = 0;
    while (ReadFile(read_end.get(), buffer, sizeof buffer, &count, nullptr) && count > 0) received.append(buffer, count);
    EXPECT_EQ(code, 0u) << "the child could not write to its standard output";
    EXPECT_EQ(received, "still here\n");
}

}  // namespace
