#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <typeinfo>

#include "agent.h"
#include "fileio.h"

namespace {

// A fresh directory under the temporary folder, removed with everything in it however the test ends.
class scratch_directory {
public:
    scratch_directory() {
        std::wstring temp(MAX_PATH + 1, L'\0');
        temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
        path_ = make_unique_path(canonicalize_path(temp), L"fileio-test-", L"");
        std::filesystem::create_directories(path_);
    }
    scratch_directory(const scratch_directory&) = delete;
    scratch_directory& operator=(const scratch_directory&) = delete;
    ~scratch_directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// The current directory comes back however the test ends.
class current_directory_guard {
public:
    current_directory_guard() : saved_(std::filesystem::current_path()) {}
    ~current_directory_guard() {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
    }

private:
    std::filesystem::path saved_;
};

void write_bytes(const std::wstring& path, const std::string& bytes) {
    file_handle::open_write(path).write(bytes.data(), bytes.size());
}

std::string read_bytes(const std::wstring& path) {
    file_handle file = file_handle::open_read(path);
    std::string bytes;
    char buffer[512];
    for (std::int32_t count; (count = file.read(buffer, sizeof buffer)) != -1;) bytes.append(buffer, count);
    return bytes;
}

struct line {
    std::wstring text;
    bool at_end;
    bool operator==(const line&) const = default;
};

std::ostream& operator<<(std::ostream& out, const line& l) {
    return out << '[' << to_string(l.text) << (l.at_end ? "] at end" : "]");
}

// Every line up to and including the one that reports the end.
std::vector<line> read_all_lines(file_reader& reader) {
    std::vector<line> lines;
    for (int guard = 0; guard < 10000; ++guard) {
        bool at_end = false;
        std::wstring text = reader.read_line(at_end);
        lines.push_back({text, at_end});
        if (at_end) return lines;
    }
    ADD_FAILURE() << "no end after 10000 lines";
    return lines;
}

std::vector<line> lines_of(const scratch_directory& dir, const std::string& bytes) {
    write_bytes(dir / L"lines.txt", bytes);
    file_reader reader(dir / L"lines.txt");
    return read_all_lines(reader);
}

// Runs `body`, which must throw exactly E; returns the exception.
template <typename E, typename F>
E thrown_by(F body) {
    try {
        body();
    } catch (const E& e) {
        EXPECT_EQ(typeid(e), typeid(E)) << to_string(e.message());
        return e;
    } catch (const application_exception& e) {
        ADD_FAILURE() << "unexpected " << typeid(e).name() << ": " << to_string(e.message());
        throw;
    }
    ADD_FAILURE() << "nothing was thrown";
    throw std::logic_error("nothing was thrown");
}

TEST(file_handle, open_failures_map_to_the_defined_exceptions) {
    scratch_directory dir;
    std::wstring missing = dir / L"missing.txt";
    std::wstring in_missing_dir = dir / L"no-such-dir\\file.txt";

    auto not_found = thrown_by<file_not_found_exception>([&] { file_handle::open_read(missing); });
    EXPECT_EQ(not_found.description(), L"file not found");
    EXPECT_EQ(not_found.call(), L"CreateFileW");
    EXPECT_EQ(not_found.error(), 2u);
    EXPECT_EQ(not_found.path(), missing);
    EXPECT_STREQ(not_found.function_name(), L"file_handle::open_read");

    auto no_dir = thrown_by<file_not_found_exception>([&] { file_handle::open_read(in_missing_dir); });
    EXPECT_EQ(no_dir.error(), 3u);
    auto no_dir_write = thrown_by<file_not_found_exception>([&] { file_handle::open_write(in_missing_dir); });
    EXPECT_EQ(no_dir_write.description(), L"file not found");
    EXPECT_STREQ(no_dir_write.function_name(), L"file_handle::open_write");

    // Opening a directory as a file is refused with ERROR_ACCESS_DENIED, on Windows as under Wine.
    auto denied_read = thrown_by<file_access_denied_exception>([&] { file_handle::open_read(dir.path()); });
    EXPECT_EQ(denied_read.description(), L"read access denied");
    auto denied_write = thrown_by<file_access_denied_exception>([&] { file_handle::open_write(dir.path()); });
    EXPECT_EQ(denied_write.description(), L"write access denied");
    EXPECT_NE(dynamic_cast<const access_denied_exception*>(&denied_write), nullptr);

    auto bad_name = thrown_by<file_exception>([&] { file_handle::open_read(dir / L"bad<name>"); });
    EXPECT_EQ(bad_name.description(), L"open for read failed");
    EXPECT_EQ(bad_name.error(), static_cast<std::uint32_t>(ERROR_INVALID_NAME));
}

TEST(file_handle, open_write_truncates_while_others_keep_the_file_open) {
    scratch_directory dir;
    std::wstring path = dir / L"shared.txt";
    write_bytes(path, "old contents");
    file_handle earlier_reader = file_handle::open_read(path);

    file_handle writer = file_handle::open_write(path);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    writer.write("xyz", 3);
    char buffer[16];
    EXPECT_EQ(earlier_reader.read(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
    // End of file is -1, never 0.
    EXPECT_EQ(earlier_reader.read(buffer, sizeof buffer), -1);
    earlier_reader.seek(1);
    EXPECT_EQ(earlier_reader.read(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 'y');

    // Full sharing includes deletion.
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(file_handle, copies_share_one_handle_and_a_moved_from_object_is_closed) {
    scratch_directory dir;
    std::wstring path = dir / L"f.bin";
    write_bytes(path, "abcdef");
    file_handle copy = [&] {
        file_handle original = file_handle::open_read(path);
        char c;
        original.read(&c, 1);
        return file_handle(original);
    }();
    // The copy reads on from where the original stopped: one handle, one file position.
    char buffer[8];
    ASSERT_EQ(copy.read(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "bcdef");

    file_handle taker(std::move(copy));
    EXPECT_FALSE(copy.is_open());
    EXPECT_EQ(copy.path(), path);
    EXPECT_TRUE(taker.is_open());
}

TEST(file_reader, line_ends_lf_crlf_and_lone_cr) {
    scratch_directory dir;
    std::vector<line> expected = {{L"a", false}, {L"b", false}, {L"c", false}, {L"", false},
                                  {L"d", false}, {L"", true}};
    EXPECT_EQ(lines_of(dir, "a\r\nb\rc\n\nd"), expected);
    EXPECT_EQ(lines_of(dir, ""), (std::vector<line>{{L"", true}}));
    EXPECT_EQ(lines_of(dir, "a\r"), (std::vector<line>{{L"a", false}, {L"", true}}));
    EXPECT_EQ(lines_of(dir, "\r\r\n"), (std::vector<line>{{L"", false}, {L"", false}, {L"", true}}));
    // UTF-8 is decoded; a byte-order mark stays part of the first line.
    EXPECT_EQ(lines_of(dir, "\xef\xbb\xbf" "caf\xc3\xa9\n"),
              (std::vector<line>{{L"\ufeffcaf\u00e9", false}, {L"", true}}));
}

TEST(file_reader, terminators_split_across_buffer_fills) {
    scratch_directory dir;
    std::string filler(4095, 'x');
    std::wstring wide_filler(4095, L'x');
    // CR is the buffer's last byte: the LF that completes it comes with the next fill.
    EXPECT_EQ(lines_of(dir, filler + "\r\nnext"),
              (std::vector<line>{{wide_filler, false}, {L"next", false}, {L"", true}}));
    // CR is the buffer's last byte and the next fill starts a new line: the byte is put back.
    EXPECT_EQ(lines_of(dir, filler + "\rz"), (std::vector<line>{{wide_filler, false}, {L"z", false}, {L"", true}}));
    std::string long_line(10000, 'q');
    EXPECT_EQ(lines_of(dir, long_line + "\n"),
              (std::vector<line>{{std::wstring(10000, L'q'), false}, {L"", true}}));
}

// A full buffer makes the reader ask the file again; a short one is taken as the end. Bytes appended
// after the first fill show which of the two happened.
TEST(file_reader, a_full_buffer_is_followed_by_another_read_and_a_short_one_is_not) {
    scratch_directory dir;
    std::wstring path = dir / L"grow.txt";
    auto lines_after_append = [&](std::size_t size) {
        write_bytes(path, std::string(size - 1, 'x') + "\n");
        file_reader reader(path);
        bool at_end = true;
        std::wstring first = reader.read_line(at_end);
        EXPECT_EQ(first.size(), size - 1);
        EXPECT_FALSE(at_end);
        file_handle appender = file_handle::open_write(path);
        std::string grown = std::string(size - 1, 'x') + "\nlate";
        appender.write(grown.data(), grown.size());
        std::vector<line> rest = read_all_lines(reader);
        return rest;
    };
    EXPECT_EQ(lines_after_append(4096), (std::vector<line>{{L"late", false}, {L"", true}}));
    EXPECT_EQ(lines_after_append(100), (std::vector<line>{{L"", true}}));
}

TEST(file_reader, missing_file_passes_the_open_failure_through) {
    scratch_directory dir;
    thrown_by<file_not_found_exception>([&] { file_reader reader(dir / L"none.conf"); });
}

TEST(enumerate_directory, lists_entries_without_dot_entries) {
    scratch_directory dir;
    write_bytes(dir / L"a.txt", "1");
    std::filesystem::create_directory(dir / L"sub");
    auto sorted = [](std::vector<directory_entry> entries) {
        std::sort(entries.begin(), entries.end(),
                  [](const directory_entry& l, const directory_entry& r) { return l.file_name < r.file_name; });
        return entries;
    };
    for (const std::wstring& spelling : {dir.path(), dir.path() + L"\\"}) {
        std::vector<directory_entry> entries = sorted(enumerate_directory(spelling));
        ASSERT_EQ(entries.size(), 2u) << to_string(spelling);
        EXPECT_EQ(entries[0].file_name, L"a.txt");
        EXPECT_EQ(entries[0].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
        EXPECT_EQ(entries[1].file_name, L"sub");
        EXPECT_NE(entries[1].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
    EXPECT_TRUE(enumerate_directory(dir / L"sub").empty());
}

TEST(enumerate_directory, drive_forms_search_the_current_or_root_directory) {
    scratch_directory dir;
    write_bytes(dir / L"only-here.txt", "1");
    current_directory_guard guard;
    set_current_directory(dir.path());
    std::wstring drive = dir.path().substr(0, 2);  // "C:"
    // "C:" searches "C:*", the current directory of that drive.
    std::vector<directory_entry> current = enumerate_directory(drive);
    ASSERT_EQ(current.size(), 1u);
    EXPECT_EQ(current[0].file_name, L"only-here.txt");
    // "C:\" searches the root.
    std::wstring top = dir.path().substr(3, dir.path().find(L'\\', 3) - 3);
    bool found = false;
    for (const directory_entry& entry : enumerate_directory(drive + L"\\"))
        found = found || equals_ignore_case(entry.file_name, top);
    EXPECT_TRUE(found) << to_string(top);
}

TEST(enumerate_directory, missing_directory_is_an_error_not_an_empty_list) {
    scratch_directory dir;
    auto e = thrown_by<system_exception>([&] { enumerate_directory(dir / L"gone"); });
    EXPECT_EQ(e.call(), L"FindFirstFileW");
    EXPECT_EQ(e.error(), 3u);
}

TEST(paths, canonical_form) {
    // Forward slashes are separators before "." and ".." are resolved, not only afterwards.
    EXPECT_EQ(canonicalize_path(L"C:/x/../y/./z/"), L"C:\\y\\z");
    // A drive's root keeps its backslash: "X:" alone is the current directory on drive X.
    EXPECT_EQ(canonicalize_path(L"C:\\.."), L"C:\\");
    EXPECT_EQ(canonicalize_path(L"C:\\\\"), L"C:\\");
    EXPECT_EQ(canonicalize_path(L"C:"), L"C:");
    EXPECT_EQ(parent_directory(L"X:\\bin"), L"X:\\");
    EXPECT_EQ(path_under(parent_directory(L"X:\\bin"), L"var"), L"X:\\var");
    // A network path keeps the leading pair that makes it one.
    EXPECT_EQ(canonicalize_path(L"\\\\server\\share\\a\\..\\b\\"), L"\\\\server\\share\\b");
    EXPECT_EQ(canonicalize_path(L"//server/share/a"), L"\\\\server\\share\\a");
    EXPECT_EQ(canonicalize_path(L""), L"");
}

// PathCanonicalizeW is limited to MAX_PATH on Windows; longer paths must come out the same way.
TEST(paths, long_paths_are_canonicalised_like_short_ones) {
    std::wstring deep = L"C:\\" + std::wstring(150, L'd') + L"\\" + std::wstring(150, L'e');
    ASSERT_GT(deep.size(), static_cast<std::size_t>(MAX_PATH));
    for (const std::wstring& root : {std::wstring(L"C:\\short"), deep}) {
        EXPECT_EQ(canonicalize_path(root + L"\\b\\..\\c\\.\\d\\"), root + L"\\c\\d");
        EXPECT_EQ(canonicalize_path(root + L"/x//y/"), root + L"\\x\\y");
        EXPECT_EQ(parent_directory(root + L"\\bin\\agent.exe"), root + L"\\bin");
        EXPECT_EQ(parent_directory(parent_directory(root + L"\\bin\\agent.exe")), root);
    }
    EXPECT_EQ(canonicalize_path(deep + L"\\..\\..\\..\\..\\x"), L"C:\\x");
    EXPECT_EQ(canonicalize_path(deep + L"\\..\\.."), L"C:\\");
    EXPECT_EQ(canonicalize_path(L"\\\\srv\\" + std::wstring(300, L's') + L"\\..\\t"), L"\\\\srv\\t");
}

TEST(paths, guids_in_registry_form) {
    std::wstring guid = create_guid();
    ASSERT_EQ(guid.size(), 38u) << to_string(guid);
    for (std::size_t i = 0; i < guid.size(); ++i) {
        wchar_t c = guid[i];
        if (i == 0) EXPECT_EQ(c, L'{');
        else if (i == 37) EXPECT_EQ(c, L'}');
        else if (i == 9 || i == 14 || i == 19 || i == 24) EXPECT_EQ(c, L'-');
        else EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')) << to_string(guid);
    }
    EXPECT_NE(create_guid(), guid);
    EXPECT_EQ(make_unique_path(L"C:\\d", L"p.", L".cmd").size(), 5u + 2u + 38u + 4u);
}

TEST(one_shot_operations, copy_and_create_empty_overwrite_existing_files) {
    scratch_directory dir;
    write_bytes(dir / L"source", "new");
    write_bytes(dir / L"target", "older and longer");
    copy_file(dir / L"source", dir / L"target");
    EXPECT_EQ(read_bytes(dir / L"target"), "new");
    auto missing = thrown_by<system_exception>([&] { copy_file(dir / L"nothing", dir / L"target"); });
    EXPECT_EQ(missing.call(), L"CopyFileW");
    EXPECT_EQ(missing.error(), 2u);

    create_empty_file(dir / L"target");
    EXPECT_EQ(std::filesystem::file_size(dir / L"target"), 0u);
    create_empty_file(dir / L"fresh");
    EXPECT_TRUE(is_path_a_file(dir / L"fresh"));
    auto no_dir = thrown_by<file_exception>([&] { create_empty_file(dir / L"no-dir\\marker"); });
    EXPECT_EQ(no_dir.description(), L"open for write failed");
    EXPECT_EQ(no_dir.error(), 3u);
}

TEST(one_shot_operations, is_path_a_file_and_attributes) {
    scratch_directory dir;
    write_bytes(dir / L"file", "x");
    std::filesystem::create_directory(dir / L"plain");
    std::filesystem::create_directory(dir / L"marked");
    ASSERT_TRUE(SetFileAttributesW((dir / L"marked").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_EQ(get_file_attributes(dir / L"marked"),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));

    EXPECT_TRUE(is_path_a_file(dir / L"file"));
    EXPECT_FALSE(is_path_a_file(dir / L"plain"));
    // A directory with attribute bits of its own is still a directory.
    EXPECT_FALSE(is_path_a_file(dir / L"marked"));
    EXPECT_FALSE(is_path_a_file(dir / L"missing"));
    EXPECT_FALSE(is_path_a_file(dir / L"missing-dir\\file"));
    SetFileAttributesW((dir / L"marked").c_str(), FILE_ATTRIBUTE_NORMAL);

    auto missing = thrown_by<system_file_not_found_exception>([&] { get_file_attributes(dir / L"missing"); });
    EXPECT_EQ(missing.path(), dir / L"missing");
    EXPECT_EQ(missing.call(), L"GetFileAttributesW");
    // ERROR_PATH_NOT_FOUND has no class of its own.
    auto no_dir = thrown_by<system_exception>([&] { get_file_attributes(dir / L"missing-dir\\file"); });
    EXPECT_EQ(no_dir.error(), 3u);
}

TEST(one_shot_operations, set_current_directory_reports_the_path) {
    scratch_directory dir;
    current_directory_guard guard;
    set_current_directory(dir.path());
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), dir.path()));
    try {
        set_current_directory(dir / L"gone");
        ADD_FAILURE() << "nothing thrown";
    } catch (const system_exception& e) {
        EXPECT_EQ(e.call(), L"SetCurrentDirectoryW");
        EXPECT_NE(e.message().find(L"gone"), std::wstring::npos) << to_string(e.message());
    }
}

TEST(one_shot_operations, file_deleter_deletes_once_however_the_scope_ends) {
    scratch_directory dir;
    std::wstring path = dir / L"temporary.cmd";
    write_bytes(path, "x");
    try {
        file_deleter deleter(path);
        EXPECT_TRUE(is_path_a_file(path));
        throw std::runtime_error("unwind");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(is_path_a_file(path));
    // Nothing left to delete is no error.
    { file_deleter deleter(path); }
}

}  // namespace
