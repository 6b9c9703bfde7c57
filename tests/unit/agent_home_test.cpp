// The layout as this test process computes it. Homes given by UPGRADE_SET_AGENT_HOME and the
// per-process log name need a fresh process each: the end-to-end tests run home_probe for them.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "agent.h"
#include "agent_home.h"
#include "environment.h"
#include "fileio.h"
#include "services.h"

namespace {

TEST(agent_home, first_use_from_many_threads_yields_one_value) {
    std::vector<const std::wstring*> homes(8), names(8), logs(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < homes.size(); ++i)
        threads.emplace_back([&, i] {
            logs[i] = &get_stdout_log_path();
            homes[i] = &get_agent_home();
            names[i] = &get_service_name();
        });
    for (std::thread& thread : threads) thread.join();
    for (std::size_t i = 0; i < homes.size(); ++i) {
        EXPECT_EQ(homes[i], homes[0]);
        EXPECT_EQ(names[i], names[0]);
        EXPECT_EQ(logs[i], logs[0]);
    }
}

TEST(agent_home, layout_under_the_home_of_this_executable) {
    std::wstring module(4096, L'\0');
    module.resize(GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size())));
    EXPECT_EQ(get_running_exe_path(), module);
    EXPECT_EQ(get_exe_file_name(), L"unit_tests.exe");
    if (!get_environment_variable(L"UPGRADE_SET_AGENT_HOME", L"").empty())
        GTEST_SKIP() << "UPGRADE_SET_AGENT_HOME is set";

    const std::wstring& home = get_agent_home();
    EXPECT_EQ(home, parent_directory(parent_directory(module)));
    // The two copies of the executable keep the name it runs under.
    EXPECT_EQ(get_agent_exe_path(), home + L"\\bin\\unit_tests.exe");
    EXPECT_EQ(get_var_exe_path(), home + L"\\var\\unit_tests.exe");
}

TEST(agent_home, service_name_is_the_base_and_32_lower_case_hex_digits) {
    const std::wstring& name = get_service_name();
    ASSERT_EQ(name.size(), 17u + 32u) << to_string(name);
    EXPECT_EQ(name.substr(0, 17), L"olvar-tesk-agent-");
    for (wchar_t c : name.substr(17))
        EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f')) << to_string(name);
}

}  // namespace
