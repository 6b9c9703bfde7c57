#include <gtest/gtest.h>

#include "agent.h"
#include "environment.h"

namespace {

TEST(text, utf8_conversions_replace_what_cannot_be_converted) {
    std::wstring text = L"agent \u00e9\u4e2d \U0001F600 end";
    EXPECT_EQ(to_wstring(to_string(text)), text);
    EXPECT_EQ(to_string(std::wstring(1, wchar_t(0xD800)) + L"x"), "\xef\xbf\xbdx");
    EXPECT_EQ(to_wstring("a\xff" "b"), L"a\ufffdb");
}

TEST(text, split_command_line_follows_the_windows_rules) {
    using list = std::vector<std::wstring>;
    EXPECT_EQ(split_command_line(L"p a\\\\\"b c\""), (list{L"p", L"a\\b c"}));    // 2n backslashes + quote
    EXPECT_EQ(split_command_line(L"p a\\\\\\\"b"), (list{L"p", L"a\\\"b"}));     // 2n+1 backslashes + quote
    EXPECT_EQ(split_command_line(L"p a\\\\b\t\"\""), (list{L"p", L"a\\\\b", L""}));  // literal backslashes, empty
}

TEST(environment, values_of_any_length_and_the_set_but_empty_variable) {
    std::wstring name = L"AGENT_TEST_VARIABLE";
    set_environment_variable(name, std::wstring(5000, L'b'));
    EXPECT_EQ(get_environment_variable(name, L"d"), std::wstring(5000, L'b'));
    // Set but empty: GetEnvironmentVariableW answers 0 with no error at all under Wine.
    SetEnvironmentVariableW(name.c_str(), L"");
    EXPECT_EQ(get_environment_variable(name, L"d"), L"");
    SetEnvironmentVariableW(name.c_str(), nullptr);
    EXPECT_EQ(get_environment_variable(name, L"d"), L"d");
}

}  // namespace
