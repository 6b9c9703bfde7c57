// The environment dump that "_winenv" writes for the loader of set_env.cmd. (The upgrade relay's
// handle texts are tested on the real program, in tests/e2e/test_lifecycle.py.)

#include <gtest/gtest.h>

#include "agent.h"
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

}  // namespace
