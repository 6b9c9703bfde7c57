// The environment dump that "_winenv" writes for the loader of set_env.cmd. (The upgrade relay's
// handle texts are tested on the real program, in tests/e2e/test_lifecycle.py.)

#include <gtest/gtest.h>

#include "agent.h"
#include "agent_home.h"
#include "environment.h"
#include "load_environment_defined_in_set_env_script.h"

namespace {

std::vector<char> bytes_of(const std::wstring& units) {
    std::vector<char> bytes;
    for (wchar_t unit : units) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

TEST(environment_dump, only_whole_blocks_are_complete) {
    EXPECT_TRUE(is_complete_environment_dump(bytes_of(std::wstring(1, L'\0'))));
    EXPECT_TRUE(is_complete_environment_dump(bytes_of(std::wstring(L"A=1\0B=2\0\0", 9))));
    // U+0100 ends in a zero byte: the last unit is no terminator although the last bytes are zero.
    EXPECT_FALSE(is_complete_environment_dump(bytes_of(std::wstring(L"A=\u0100\0", 4))));
    EXPECT_FALSE(is_complete_environment_dump({}));
    EXPECT_FALSE(is_complete_environment_dump({'\0'}));
    std::vector<char> odd = bytes_of(std::wstring(L"A=1\0\0", 5));
    odd.push_back('\0');
    EXPECT_FALSE(is_complete_environment_dump(odd));
    // Cut after an entry's own terminator: the block's final one is missing.
    EXPECT_FALSE(is_complete_environment_dump(bytes_of(std::wstring(L"A=1\0", 4))));
}

// The per-drive entries that cmd.exe adds ("=Z:=Z:\dir") make SetEnvironmentStringsW fail under Wine.
TEST(environment_dump, drive_entries_are_left_out_of_the_block) {
    std::wstring dump(L"=Z:=Z:\\x\0A=1\0=C:=C:\\\0B=\u00e9\0\0", 25);
    EXPECT_EQ(environment_block_from_dump(bytes_of(dump)), std::wstring(L"A=1\0B=\u00e9\0\0", 9));
    EXPECT_EQ(environment_block_from_dump(bytes_of(std::wstring(1, L'\0'))), std::wstring(1, L'\0'));
}

// Windows keeps a block sorted by name, case-insensitive and ordinal, and its own functions rely on
// that order when they set or delete a variable (a child could not remove one that is out of place).
TEST(environment_block, is_sorted_by_name_as_windows_keeps_it_also_with_variables_added) {
    // "A" before "A0" although "A0=" sorts before "A=" as a whole; "_" and "\u00e9" after "Z".
    EXPECT_EQ(make_environment_block({L"b=1", L"A0=2", L"a=3", L"_=4", L"\u00e9=5", L"Z=6"}),
              std::wstring(L"a=3\0A0=2\0b=1\0Z=6\0_=4\0\u00e9=5\0\0", 26));
    std::wstring block = make_environment_block(environment_with({L"AAAA_ADDED=1", L"path=replaced", L"zz_added=2"}));
    std::vector<std::wstring> names;
    for (size_t at = 0; block[at] != L'\0'; at = block.find(L'\0', at) + 1)
        names.push_back(block.substr(at, block.find(L'=', at + 1) - at));
    for (size_t i = 1; i < names.size(); ++i)
        EXPECT_EQ(CompareStringOrdinal(names[i - 1].c_str(), -1, names[i].c_str(), -1, TRUE), CSTR_LESS_THAN)
            << to_string(names[i - 1]) << " before " << to_string(names[i]);
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](auto& n) { return equals_ignore_case(n, L"PATH"); }), 1);
    EXPECT_NE(block.find(L"path=replaced"), std::wstring::npos);
}

// PATH holds the runtime's directories once, however an entry is spelt, and a longer entry that begins
// with the same text is another directory.
TEST(environment_block, path_entries_are_compared_whole_without_regard_to_case_or_a_trailing_backslash) {
    const std::tuple<const wchar_t*, const wchar_t*, bool> rows[] = {
        {L"C:\\jdk\\bin\\server;D:\\x", L"C:\\jdk\\bin", false}, {L"D:\\x;c:\\JDK\\bin\\;E:\\y", L"C:\\jdk\\bin", true},
        {L"C:\\jdk\\bin", L"C:\\jdk\\bin\\", true},   {L"C:\\jdk\\binary;;", L"C:\\jdk\\bin", false},
        {L"", L"C:\\jdk\\bin", false},
    };
    for (const auto& [path, directory, expected] : rows)
        EXPECT_EQ(path_list_contains(path, directory), expected) << to_string(path) << " / " << to_string(directory);
}

// The site's interpreter settings (AutoRun, EnableExtensions, DelayedExpansion) must not change the
// script (Wine's cmd.exe ignores them, Windows' does not).
TEST(environment_block, the_interpreter_is_told_to_ignore_site_settings) {
    EXPECT_TRUE(environment_script_command_line(get_temp_dir() + L"\\{X}.cmd")
                    .ends_with(L"\\cmd.exe\" /d /e:on /v:off /s /c \"\"..\\var\\temp\\{X}.cmd\"\""));
}

}  // namespace
