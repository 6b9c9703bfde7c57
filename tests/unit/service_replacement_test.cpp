// The older generation's service process, which the replacement ends only if it is an ancestor. (Its
// settings subtree, read and deleted in the 32-bit view: tests/e2e/test_replace_service.py.)

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "agent.h"
#include "agent_home.h"
#include "environment.h"
#include "fileio.h"
#include "process_ancestry.h"
#include "processes.h"
#include "service_replacement_operation.h"

namespace {

constexpr wchar_t probe_variable[] = L"AGENT_KILL_PARENT_PROBE";

// Ends a child that still runs when the test leaves, however it leaves.
struct child_guard {
    shared_handle process;
    ~child_guard() { TerminateProcess(process.get(), 9); }
};

// The ancestor needs an ancestor of our own: this test program runs itself again under cmd.exe, and
// that copy ends the cmd.exe above it.
TEST(kill_ancestor_service_process, an_ancestor_is_ended) {
    std::wstring result_path = get_environment_variable(probe_variable, L"");
    if (!result_path.empty()) {
        DWORD parent = 0;
        for (const process_link& link : list_processes(create_process_snapshot()))
            if (link.pid == GetCurrentProcessId()) parent = link.parent_pid;
        std::ofstream(result_path.c_str()) << (kill_ancestor_service_process(parent) ? "killed" : "alive");
        return;
    }
    file_deleter result(make_unique_path(parent_directory(get_running_exe_path()), L"kill-probe-", L".txt"));
    std::vector<std::wstring> environment = get_environment_strings();
    environment.push_back(std::wstring(probe_variable) + L"=" + result.path());
    const wchar_t* filter = L"--gtest_filter=kill_ancestor_service_process.an_ancestor_is_ended";
    child_guard shell{create_process(build_command_line(L"cmd.exe", {L"/c", get_running_exe_path(), filter}), environment,
                                     {}, L"", false)};
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
