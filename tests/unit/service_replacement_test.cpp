// The end of the old service's process: only a process above this one is ever terminated. The ancestor
// case needs an ancestor of our own: this test program runs itself again under cmd.exe, and that copy
// ends the cmd.exe above it.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "agent.h"
#include "environment.h"
#include "fileio.h"
#include "process_ancestry.h"
#include "processes.h"
#include "service_replacement_operation.h"

namespace {

constexpr wchar_t probe_variable[] = L"AGENT_KILL_PARENT_PROBE";

std::wstring this_program() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring directory_of_this_program() { return parent_directory(this_program()); }

// Ends a child that is still running when the test leaves, however it leaves.
struct child_guard {
    shared_handle process;
    ~child_guard() {
        if (process && get_exit_code(process) == STILL_ACTIVE) TerminateProcess(process.get(), 9);
    }
};

TEST(kill_ancestor_service_process, a_process_that_is_no_ancestor_is_left_alone) {
    child_guard child{create_process(
        build_command_line(directory_of_this_program() + L"\\child_probe.exe", {L"sleep", L"30000"}), {}, {}, L"",
        false)};
    EXPECT_FALSE(kill_ancestor_service_process(get_process_id(child.process)));
    EXPECT_EQ(get_exit_code(child.process), static_cast<DWORD>(STILL_ACTIVE));
}

TEST(kill_ancestor_service_process, an_ancestor_is_ended) {
    std::wstring result_path = get_environment_variable(probe_variable, L"");
    if (!result_path.empty()) {
        // The copy under cmd.exe: cmd.exe is its parent and the process to end.
        DWORD parent = 0;
        for (const process_link& link : list_processes(create_process_snapshot()))
            if (link.pid == GetCurrentProcessId()) parent = link.parent_pid;
        bool killed = kill_ancestor_service_process(parent);
        std::ofstream(result_path.c_str()) << (killed ? "killed" : "alive");
        return;
    }

    file_deleter result(make_unique_path(parent_directory(this_program()), L"kill-probe-", L".txt"));
    std::vector<std::wstring> environment = get_environment_strings();
    environment.push_back(std::wstring(probe_variable) + L"=" + result.path());
    child_guard shell{create_process(
        build_command_line(L"cmd.exe", {L"/c", this_program(),
                                         L"--gtest_filter=kill_ancestor_service_process.an_ancestor_is_ended"}),
        environment, {}, L"", false)};
    ASSERT_TRUE(wait_for_single_handle(shell.process, 30000)) << "cmd.exe was not ended";
    EXPECT_EQ(get_exit_code(shell.process), 1u) << "ended otherwise than by TerminateProcess(process, 1)";
    std::string answer;
    for (int i = 0; i < 300 && answer.empty(); ++i) {
        std::ifstream(result.path().c_str()) >> answer;
        if (answer.empty()) Sleep(100);
    }
    EXPECT_EQ(answer, "killed");
}

}  // namespace
