// Child processes against real children: the child mode of tests/support/test_helper.cpp, which lies
// beside this test program.

#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include <fstream>
#include <random>

#include "agent.h"
#include "agent_home.h"
#include "deadline.h"
#include "environment.h"
#include "fileio.h"
#include "process_ancestry.h"
#include "processes.h"
#include "service_replacement_operation.h"
#include "system_handles.h"

namespace {

using strings = std::vector<std::wstring>;

// Ends a child that still runs when the test leaves, however it leaves.
struct child_guard {
    shared_handle process;
    ~child_guard() {
        if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) TerminateProcess(process.get(), 98);
    }
    DWORD exit_code() const {
        EXPECT_TRUE(wait_for_single_handle(process, 20000)) << "the child did not end in time";
        return get_exit_code(process);
    }
};

// The standard handles come back however the test ends.
struct standard_handles_restorer {
    HANDLE saved[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
    ~standard_handles_restorer() {
        for (DWORD i = 0; i < 3; ++i) SetStdHandle(STD_INPUT_HANDLE - i, saved[i]);
    }
};

std::wstring child(strings commands) {
    commands.insert(commands.begin(), L"child");
    return build_command_line(parent_directory(get_running_exe_path()) + L"\\test_helper.exe", commands);
}

// Output and exit code of a child whose standard output is captured.
std::pair<std::string, DWORD> run_captured(const std::wstring& command_line) {
    deadline limit(std::chrono::seconds(30), "reading the output of a child");
    std::vector<char> output;
    output_pipe pipe;
    child_guard guard{create_process_with_standard_handles(command_line, {}, pipe.open_write_end())};
    pipe.read_all(guard.process, output);
    DWORD code = guard.exit_code();
    return {std::string(output.begin(), output.end()), code};
}

TEST(command_line, generated_argument_lists_survive_the_windows_parser) {
    // Pieces that break quoting: quotes, runs of backslashes, blanks, tabs, text outside ASCII.
    const strings pieces = {L"a", L"\"", L"\\", L"\\\\", L"\\\\\\", L" ", L"\t", L"=", L"\u00e9", L"\U0001F600", L"%", L"^"};
    std::mt19937 random(20240611);
    auto pick = [&](size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random); };
    for (int round = 0; round < 3000; ++round) {
        strings expected{round % 2 ? L"C:\\Program Files\\agent home\\bin\\agent.exe" : L"prog"};
        for (size_t i = pick(6); i > 0; --i) {
            std::wstring argument;
            for (size_t j = pick(8); j > 0; --j) argument += pieces[pick(pieces.size())];
            expected.push_back(argument);
        }
        std::wstring command_line = build_command_line(expected[0], strings(expected.begin() + 1, expected.end()));
        int count = 0;
        local_memory_ptr<LPWSTR> parsed(CommandLineToArgvW(command_line.c_str(), &count));
        ASSERT_EQ(strings(parsed.get(), parsed.get() + count), expected) << to_string(command_line);
    }
}

TEST(command_line, a_real_child_receives_the_arguments_unchanged) {
    strings arguments = {L"plain", L"", L"two words", L"trailing\\", L"blank and trailing\\", L"a\\\\\"b",
                         L"tab\tinside", L"-Dx=\"y z\"", L"\u00e9t\u00e9 \u4e2d", L"\U0001F600"};
    strings commands{L"argv"};
    commands.insert(commands.end(), arguments.begin(), arguments.end());
    auto [output, code] = run_captured(child(commands));
    EXPECT_EQ(code, 0u);
    strings received;
    for (size_t at = 0, end; (end = output.find('\0', at)) != std::string::npos; at = end + 1)
        received.push_back(to_wstring(output.substr(at, end - at)));
    EXPECT_EQ(received, arguments);
}

// A parent without standard input or error (a service, a detached process) still runs children.
TEST(process_output, a_parent_without_standard_input_or_error_starts_children) {
    standard_handles_restorer restore;
    for (HANDLE missing : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        SetStdHandle(STD_INPUT_HANDLE, missing);
        SetStdHandle(STD_ERROR_HANDLE, missing);
        try {
            EXPECT_EQ(run_captured(child({L"print", L"alone", L"drain"})), (std::pair<std::string, DWORD>{"alone\n", 0}));
        } catch (const application_exception& e) {
            ADD_FAILURE() << to_string(e.message());
        }
    }
}

// A write end can outlive its writer in a process that inherited it (cmd.exe passes every inheritable
// handle on to what it starts): reading ends with the writer all the same.
TEST(process_output, reading_ends_with_the_writer_though_another_write_end_stays_open) {
    deadline limit(std::chrono::seconds(30), "reading past the end of the writer");
    output_pipe pipe;
    shared_handle write_end = pipe.open_write_end();
    shared_handle kept = duplicate_handle(write_end, false);  // this process stands for the one that inherited it
    child_guard guard{create_process_with_standard_handles(child({L"print", L"written"}), {}, write_end)};
    write_end.reset();
    std::vector<char> output;
    pipe.read_all(guard.process, output);
    EXPECT_EQ(std::string(output.begin(), output.end()), "written\n");
}

// The child tells by SetEvent on the value it is given whether it holds the handle.
bool child_can_use(const shared_handle& event, const std::vector<shared_handle>& inherit) {
    ResetEvent(event.get());
    std::wstring value = std::to_wstring(reinterpret_cast<std::uintptr_t>(event.get()));
    DWORD code = child_guard{create_process(child({L"set-event", value}), {}, inherit, L"", false)}.exit_code();
    EXPECT_EQ(code == 0, WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0) << "exit code " << code;
    return code == 0;
}

TEST(handle_inheritance, nothing_without_a_list_and_the_listed_handles_with_one) {
    shared_handle inheritable = duplicate_handle(create_event(), true);
    EXPECT_FALSE(child_can_use(inheritable, {})) << "inherited although no handle was listed";
    EXPECT_TRUE(child_can_use(inheritable, {inheritable, inheritable})) << "a listed handle was not inherited";
}

// A handle list shuts out the parent's standard handles too unless they are listed; the relay steps
// of an upgrade would otherwise lose everything they write.
TEST(handle_inheritance, a_child_with_a_list_keeps_this_process_standard_output) {
    HANDLE read_raw = nullptr, write_raw = nullptr;
    ASSERT_TRUE(CreatePipe(&read_raw, &write_raw, nullptr, 0));  // not inheritable
    shared_handle read_end(read_raw), write_end(write_raw);
    DWORD code = 0;
    {
        standard_handles_restorer restore;
        SetStdHandle(STD_OUTPUT_HANDLE, write_end.get());
        code = child_guard{create_process(child({L"print", L"still here"}), {}, {duplicate_handle(create_event(), true)},
                                          L"", false)}.exit_code();
    }
    write_end.reset();
    deadline limit(std::chrono::seconds(30), "reading what the child wrote");
    std::string received;
    char buffer[256];
    DWORD count = 0;
    while (ReadFile(read_end.get(), buffer, sizeof buffer, &count, nullptr) && count > 0) received.append(buffer, count);
    EXPECT_EQ(code, 0u) << "the child could not write to its standard output";
    EXPECT_EQ(received, "still here\n");
}

// After id reuse a snapshot's parent links can lead to a process younger than this one: never an ancestor.
TEST(process_ancestry, a_process_younger_than_this_one_is_refused_as_an_ancestor) {
    child_guard young{create_process(child({L"sleep", L"20000"}), {}, {}, L"", false)};
    ASSERT_LT(get_process_creation_time(get_current_process_handle(false)), get_process_creation_time(young.process));
    EXPECT_THROW(get_ancestor_handle(get_process_id(young.process), SYNCHRONIZE), ancestor_process_not_found_exception);
    EXPECT_NO_THROW(get_ancestor_handle(GetCurrentProcessId(), SYNCHRONIZE));  // the same creation time passes
}

// The older generation's service process is ended only as an ancestor, and an ancestor needs one of
// our own: this test program runs itself again under cmd.exe, and that copy ends the cmd.exe above it.
TEST(kill_ancestor_service_process, an_ancestor_is_ended) {
    constexpr wchar_t probe_variable[] = L"AGENT_KILL_PARENT_PROBE";
    std::wstring result_path = get_environment_variable(probe_variable, L"");
    if (!result_path.empty()) {
        DWORD parent = 0;
        for (const process_link& link : list_processes(create_process_snapshot()))
            if (link.pid == GetCurrentProcessId()) parent = link.parent_pid;
        std::ofstream(result_path.c_str()) << (kill_ancestor_service_process(parent) ? "killed" : "alive");
        return;
    }
    file_deleter result(make_unique_path(parent_directory(get_running_exe_path()), L"kill-probe-", L".txt"));
    strings environment = get_environment_strings();
    environment.push_back(std::wstring(probe_variable) + L"=" + result.path());
    const wchar_t* filter = L"--gtest_filter=kill_ancestor_service_process.an_ancestor_is_ended";
    child_guard shell{create_process(build_command_line(L"cmd.exe", {L"/c", get_running_exe_path(), filter}), environment,
                                     {}, L"", false)};
    EXPECT_EQ(shell.exit_code(), 1u) << "cmd.exe was not ended, or otherwise than by TerminateProcess(process, 1)";
    std::string answer;
    for (int i = 0; i < 300 && answer.empty(); ++i) {
        std::ifstream(result.path().c_str()) >> answer;
        if (answer.empty()) Sleep(100);
    }
    EXPECT_EQ(answer, "killed");
}

}  // namespace
