#include <gtest/gtest.h>

#include "agent.h"
#include "environment.h"
#include "fileio.h"

namespace {

TEST(text, utf8_round_trip_keeps_characters_outside_the_basic_plane) {
    std::wstring text = L"agent \u00e9\u4e2d \U0001F600 end";
    EXPECT_EQ(to_wstring(to_string(text)), text);
    EXPECT_EQ(to_string(L"\u00e9"), "\xc3\xa9");
    EXPECT_EQ(to_string(L""), "");
    EXPECT_EQ(to_wstring(""), L"");
}

TEST(text, lone_surrogates_and_bad_utf8_become_replacement_characters) {
    EXPECT_EQ(to_string(std::wstring(1, wchar_t(0xD800)) + L"x"), "\xef\xbf\xbdx");
    EXPECT_EQ(to_wstring("a\xff" "b"), L"a\ufffdb");
    // A byte-order mark is text like any other.
    EXPECT_EQ(to_wstring("\xef\xbb\xbfx"), L"\ufeffx");
}

TEST(text, trim_removes_classic_white_space_only) {
    std::wstring blanks = L" \t \r\n\v\f";
    trim(blanks);
    EXPECT_EQ(blanks, L"");
    std::wstring nbsp = L"\u00a0x \t";
    trim(nbsp);
    EXPECT_EQ(nbsp, L"\u00a0x");
    std::wstring inner = L"  a b  ";
    trim(inner);
    EXPECT_EQ(inner, L"a b");
}

TEST(text, equals_ignore_case_folds_ascii_letters_only) {
    EXPECT_TRUE(equals_ignore_case(L"RUN", L"run"));
    EXPECT_FALSE(equals_ignore_case(L"run", L"run "));
    EXPECT_FALSE(equals_ignore_case(L"\u00c9", L"\u00e9"));
    EXPECT_TRUE(equals_ignore_case(L"", L""));
    EXPECT_FALSE(equals_ignore_case(L"[", L"{"));
}

TEST(text, split_command_line_follows_the_windows_rules) {
    using list = std::vector<std::wstring>;
    EXPECT_EQ(split_command_line(L"prog -a \"-Db=x y\""), (list{L"prog", L"-a", L"-Db=x y"}));
    EXPECT_EQ(split_command_line(L"p a\\\\\"b c\""), (list{L"p", L"a\\b c"}));   // 2n backslashes + quote
    EXPECT_EQ(split_command_line(L"p a\\\\\\\"b"), (list{L"p", L"a\\\"b"}));    // 2n+1 backslashes + quote
    EXPECT_EQ(split_command_line(L"p a\\\\b\t\"\""), (list{L"p", L"a\\\\b", L""}));  // literal backslashes, tab, empty
    EXPECT_EQ(split_command_line(L"\"C:\\dir with\\prog\\\" x"), (list{L"C:\\dir with\\prog\\", L"x"}));
}

TEST(environment, reads_short_and_long_values_and_defaults) {
    std::wstring name = L"AGENT_TEST_VARIABLE";
    set_environment_variable(name, std::wstring(31, L'a'));
    EXPECT_EQ(get_environment_variable(name, L"d"), std::wstring(31, L'a'));
    set_environment_variable(name, std::wstring(5000, L'b'));
    EXPECT_EQ(get_environment_variable(name, L"d"), std::wstring(5000, L'b'));
    SetEnvironmentVariableW(name.c_str(), nullptr);
    EXPECT_EQ(get_environment_variable(name, L""), L"");
    EXPECT_EQ(get_environment_variable(name, L"fallback"), L"fallback");
}

TEST(environment, boolean_flags_accept_only_true) {
    std::wstring name = L"AGENT_TEST_FLAG";
    for (const wchar_t* yes : {L"true", L"TRUE", L" True "}) {
        set_environment_variable(name, yes);
        EXPECT_TRUE(is_environment_variable_true(name)) << yes;
    }
    for (const wchar_t* no : {L"1", L"yes", L"truee"}) {
        set_environment_variable(name, no);
        EXPECT_FALSE(is_environment_variable_true(name)) << no;
    }
    SetEnvironmentVariableW(name.c_str(), nullptr);
    EXPECT_FALSE(is_environment_variable_true(name));
}

TEST(environment, listing_skips_drive_entries_and_blocks_end_with_two_nuls) {
    set_environment_variable(L"AGENT_TEST_LISTED", L"v=w");
    bool found = false;
    for (const std::wstring& entry : get_environment_strings()) {
        EXPECT_NE(entry[0], L'=') << entry;
        found = found || entry == L"AGENT_TEST_LISTED=v=w";
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(make_environment_block({L"A=1", L"B=2"}), std::wstring(L"A=1\0B=2\0\0", 9));
    EXPECT_EQ(make_environment_block({}), std::wstring(1, L'\0'));
}

TEST(paths, canonical_form_and_file_names) {
    EXPECT_EQ(canonicalize_path(L"C:\\a\\b\\..\\c\\"), L"C:\\a\\c");
    EXPECT_EQ(canonicalize_path(L"C:/x/y/"), L"C:\\x\\y");
    EXPECT_EQ(canonicalize_path(L"C:\\a\\\\b"), L"C:\\a\\b");
    EXPECT_EQ(parent_directory(L"D:\\x\\y\\bin\\agent.exe"), L"D:\\x\\y\\bin");
    EXPECT_EQ(file_name_of(L"C:\\a\\b.txt"), L"b.txt");
    EXPECT_EQ(file_name_of(L"name"), L"name");
    EXPECT_EQ(file_name_of(L""), L"");
}

}  // namespace
