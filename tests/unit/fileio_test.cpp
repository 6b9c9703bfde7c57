#include <gtest/gtest.h>

#include <shlwapi.h>

#include <regex>

#include "agent.h"
#include "fileio.h"

namespace {

// Every line of `bytes` as the reader gives it, up to the empty one that reports the end ("<end>").
std::vector<std::wstring> lines_of(const std::string& bytes) {
    wchar_t temp[MAX_PATH];
    std::wstring directory = canonicalize_path(std::wstring(temp, GetTempPathW(MAX_PATH, temp)));
    std::wstring path = make_unique_path(directory, L"lines-", L".txt");
    file_deleter remove_file(path);
    file_handle::open_write(path).write(bytes.data(), bytes.size());
    file_reader reader(path);
    std::vector<std::wstring> lines;
    for (bool at_end = false; !at_end && lines.size() < 100;) {
        std::wstring line = reader.read_line(at_end);
        lines.push_back(at_end ? L"<end>" + line : line);
    }
    return lines;
}

using lines = std::vector<std::wstring>;

TEST(file_reader, lines_end_at_lf_crlf_or_a_lone_cr_also_across_buffer_fills) {
    EXPECT_EQ(lines_of("a\r\nb\rc\n\nd"), (lines{L"a", L"b", L"c", L"", L"d", L"<end>"}));
    EXPECT_EQ(lines_of(""), (lines{L"<end>"}));
    EXPECT_EQ(lines_of("\r\r\n"), (lines{L"", L"", L"<end>"}));
    // UTF-8, and UTF-16 LE after its byte-order mark (an odd last byte replaced); no mark is part of a line.
    EXPECT_EQ(lines_of("\xef\xbb\xbf" "caf\xc3\xa9\n"), (lines{L"caf\u00e9", L"<end>"}));
    EXPECT_EQ(lines_of(std::string("\xff\xfe" "a\0\r\0\xe9\0\r\0\n\0z", 13)), (lines{L"a", L"\u00e9", L"\ufffd", L"<end>"}));
    // The reader fills a 4096-byte buffer: a CR as its last byte, then an LF or a new line in the next fill.
    std::string filler(4095, 'x');
    EXPECT_EQ(lines_of(filler + "\r\nnext"), (lines{std::wstring(4095, L'x'), L"next", L"<end>"}));
    EXPECT_EQ(lines_of(filler + "\rz"), (lines{std::wstring(4095, L'x'), L"z", L"<end>"}));
    // A character whose UTF-8 bytes straddle two fills, and a line longer than the buffer.
    EXPECT_EQ(lines_of(filler + "\xc3\xa9" + std::string(10000, 'q')),
              (lines{std::wstring(4095, L'x') + L"\u00e9" + std::wstring(10000, L'q'), L"<end>"}));
}

TEST(paths, dot_segments_resolve_as_path_canonicalize_does_and_beyond_its_limits) {
    // Homes and paths under them come out as PathCanonicalizeW makes them, less a trailing backslash.
    for (const wchar_t* path :
         {L"C:\\Agent\\bin\\agent.exe\\..", L"Z:\\tmp\\agent home\\bin\\..\\var", L"C:\\Program Files (x86)\\A & Co\\bin\\..",
          L"D:\\R&D Agent\\.\\var", L"C:\\h\u00e9me \u4e2d\\bin\\..", L"C:\\a\\b\\..\\..\\..", L"C:\\..", L"C:\\",
          L"\\\\server\\share\\agent\\bin\\..", L"C:\\a\\b..\\..", L"C:\\a\\.b\\.\\c", L"C:\\x\\..\\y\\.\\z\\"}) {
        wchar_t expected[MAX_PATH] = {};
        ASSERT_TRUE(PathCanonicalizeW(expected, path));
        std::wstring reference = expected;
        if (reference.size() > 3 && reference.back() == L'\\') reference.pop_back();
        EXPECT_EQ(canonicalize_path(path), reference) << to_string(path);
    }
    // Forward slashes are separators; "X:" alone is the current directory on drive X; a folder may be
    // named "..b" (Wine's PathCanonicalizeW makes that "C:b\c"); longer paths than MAX_PATH resolve alike.
    EXPECT_EQ(canonicalize_path(L"//server/share/a/../b/"), L"\\\\server\\share\\b");
    EXPECT_EQ(canonicalize_path(L"C:"), L"C:");
    EXPECT_EQ(canonicalize_path(L"C:\\a\\..b\\c"), L"C:\\a\\..b\\c");
    EXPECT_EQ(parent_directory(L"X:\\bin"), L"X:\\");
    EXPECT_EQ(path_under(L"X:\\", L"var"), L"X:\\var");
    std::wstring deep = L"C:\\" + std::wstring(150, L'd') + L"\\" + std::wstring(150, L'e');
    EXPECT_EQ(canonicalize_path(deep + L"\\b\\..\\c\\.\\d/x//y/"), deep + L"\\c\\d\\x\\y");
    EXPECT_EQ(canonicalize_path(deep + L"\\..\\..\\..\\x"), L"C:\\x");
}

TEST(paths, unique_names_carry_a_random_guid_in_registry_format) {
    std::wstring guid = create_guid();
    EXPECT_TRUE(std::regex_match(guid, std::wregex(L"\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}")));
    EXPECT_NE(create_guid(), guid);
}

}  // namespace
