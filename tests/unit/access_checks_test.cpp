// Installation access checks. Wine grants everyone everything, so the refusals are tested on the
// decisions over access masks; the walk itself runs on real trees in the prefix.

#include <gtest/gtest.h>

#include "access_checks.h"
#include "agent.h"
#include "fileio.h"

namespace {

constexpr DWORD list = FILE_LIST_DIRECTORY;
constexpr DWORD read_attributes = FILE_READ_ATTRIBUTES;
constexpr DWORD write_attributes = FILE_WRITE_ATTRIBUTES;
constexpr DWORD delete_child = FILE_DELETE_CHILD;
constexpr DWORD sync = SYNCHRONIZE;

TEST(access_rules, read_only_file_needs_its_attributes_written_and_a_way_to_be_deleted) {
    const DWORD everything = read_attributes | write_attributes | sync | DELETE;
    struct case_t {
        DWORD directory;
        DWORD file;
        bool expected;
    } cases[] = {
        {0, everything, true},
        {list | delete_child, everything & ~write_attributes, false},
        {list | delete_child, everything & ~sync, false},
        // Attributes readable through the directory listing instead of the file's own right.
        {list, everything & ~read_attributes, true},
        {0, everything & ~read_attributes, false},
        // Deletable through the directory instead of the file's own right.
        {delete_child, everything & ~DELETE, true},
        {0, everything & ~DELETE, false},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << "directory=0x" << c.directory << " file=0x" << c.file);
        EXPECT_EQ(may_delete_file_entry(c.directory, c.file, true), c.expected);
    }
    // Without the attribute only the file's own DELETE counts once the file is examined.
    EXPECT_TRUE(may_delete_file_entry(0, DELETE, false));
    EXPECT_FALSE(may_delete_file_entry(list | delete_child, everything & ~DELETE, false));
}

TEST(access_rules, delete_child_on_the_directory_settles_only_files_that_are_not_read_only) {
    EXPECT_TRUE(may_delete_file_unseen(delete_child, false));
    EXPECT_FALSE(may_delete_file_unseen(delete_child, true));
    EXPECT_FALSE(may_delete_file_unseen(list | DELETE, false));
    // A file without DELETE of its own goes through its directory's FILE_DELETE_CHILD.
    EXPECT_TRUE(may_delete(0, delete_child));
    EXPECT_FALSE(may_delete(read_attributes | write_attributes, list));
}

TEST(access_rules, directory_node_is_listed_read_and_deleted) {
    const DWORD node = sync | list | read_attributes | DELETE;
    EXPECT_TRUE(may_delete_directory_node(node, 0, false));
    EXPECT_FALSE(may_delete_directory_node(node & ~sync, 0, false));
    EXPECT_FALSE(may_delete_directory_node(node & ~list, 0, false));
    EXPECT_FALSE(may_delete_directory_node(node & ~read_attributes, 0, false));
    EXPECT_TRUE(may_delete_directory_node(node & ~read_attributes, list, false));
    EXPECT_FALSE(may_delete_directory_node(node & ~DELETE, list, false));
    EXPECT_TRUE(may_delete_directory_node(node & ~DELETE, delete_child, false));
    // A read-only directory must have its attribute cleared first.
    EXPECT_FALSE(may_delete_directory_node(node, delete_child, true));
    EXPECT_TRUE(may_delete_directory_node(node | write_attributes, 0, true));
}

// A fresh directory in the prefix's temporary folder, removed with everything in it.
class temporary_tree {
public:
    temporary_tree() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root = make_unique_path(canonicalize_path(temp), L"access-checks-", L"");
        make_directory(root);
    }
    ~temporary_tree() { remove(root); }

    static void make_directory(const std::wstring& path) { ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)); }
    static void make_file(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }

    std::wstring root;

private:
    static void remove(const std::wstring& path) {
        for (const directory_entry& entry : enumerate_directory(path)) {
            std::wstring child = path + L"\\" + entry.file_name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                remove(child);
            } else {
                DeleteFileW(child.c_str());
            }
        }
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryW(path.c_str());
    }
};

TEST(access_checks, real_tree_is_walked_and_a_read_only_file_is_judged_by_its_own_rights) {
    temporary_tree tree;
    const std::wstring top = tree.root + L"\\monitor";
    temporary_tree::make_directory(top);
    temporary_tree::make_directory(top + L"\\sub");
    temporary_tree::make_file(top + L"\\plain.txt");
    temporary_tree::make_directory(top + L"\\frozen");
    ASSERT_TRUE(SetFileAttributesW((top + L"\\frozen").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(can_delete_directory_tree(top));
    EXPECT_TRUE(can_add_file(top));

    const std::wstring locked = top + L"\\sub\\locked.txt";
    temporary_tree::make_file(locked, FILE_ATTRIBUTE_READONLY);
    access_token token = get_impersonation_token();
    DWORD file = get_maximum_allowed_access(token, locked);
    DWORD directory = get_maximum_allowed_access(token, top + L"\\sub");
    // Wine derives a file's access list from its Unix mode and withholds FILE_WRITE_ATTRIBUTES from a
    // read-only file, so here the file refuses the whole tree; Windows grants it and the tree passes.
    EXPECT_EQ(can_delete_directory_tree(top), may_delete_file_entry(directory, file, true));
    EXPECT_EQ(can_delete_file(locked), may_delete(file, directory));
}

TEST(access_checks, paths_that_do_not_exist_answer_false) {
    temporary_tree tree;
    for (const std::wstring& path : {tree.root + L"\\missing", tree.root + L"\\missing\\deeper"}) {
        SCOPED_TRACE(to_string(path));
        EXPECT_FALSE(can_delete_directory_tree(path));
        EXPECT_FALSE(can_delete_file(path));
        EXPECT_FALSE(can_add_file(path));
    }
}

}  // namespace
