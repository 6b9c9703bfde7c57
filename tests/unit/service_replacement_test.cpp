// What the replacement of an older generation's service does outside the service manager: the
// settings subtree it deletes, and the service process it ends, which must be an ancestor.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "agent.h"
#include "environment.h"
#include "fileio.h"
#include "process_ancestry.h"
#include "processes.h"
#include "registry.h"
#include "service_replacement_operation.h"

namespace {

// The older, 32-bit generation wrote its settings into the 32-bit view of the registry: a 64-bit
// program finds and deletes them only if it asks for that view. The subtree is made and removed
// here with plain Windows calls, also when the test fails.
TEST(older_generation_settings, the_subtree_is_collected_and_deleted_in_the_32_bit_view) {
    struct subtree {
        std::wstring base = L"SOFTWARE\\AgentReplacementTest" + create_guid();
        ~subtree() {
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &key)) return;
            RegDeleteTreeW(key, nullptr);
            RegCloseKey(key);
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), KEY_WOW64_32KEY, 0);
        }
    } tree;
    // 256 characters: one more than the usual limit, so the name buffer has to grow to read it.
    std::wstring long_name(256, L'x');
    for (const std::wstring& relative : {std::wstring(L"\\a\\a1"), std::wstring(L"\\b\\") + long_name}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (tree.base + relative).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    std::vector<regkey_handle_ptr> keys{open_registry_key(get_local_machine_root(), tree.base)};
    collect_subkeys(keys.front(), keys);
    std::vector<std::wstring> paths;
    for (const regkey_handle_ptr& key : keys) paths.push_back(key->path().substr(tree.base.size()));
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"", L"\\a", L"\\a\\a1", L"\\b", L"\\b\\" + long_name}));
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) delete_registry_key(*key);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, tree.base.c_str(), 0, KEY_READ | KEY_WOW64_32KEY,
                                                  &key));
}

constexpr wchar_t probe_variable[] = L"AGENT_KILL_PARENT_PROBE";

std::wstring this_program() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

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
    file_deleter result(make_unique_path(parent_directory(this_program()), L"kill-probe-", L".txt"));
    std::vector<std::wstring> environment = get_environment_strings();
    environment.push_back(std::wstring(probe_variable) + L"=" + result.path());
    child_guard shell{create_process(
        build_command_line(L"cmd.exe", {L"/c", this_program(), L"--gtest_filter=kill_ancestor_service_process.an_ancestor_is_ended"}),
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
