// Installation access checks. Wine grants everyone everything, so the refusals are tested on the
// decisions over access masks; the walk over real trees runs in the replacement's end-to-end tests.

#include <gtest/gtest.h>

#include "access_checks.h"
#include "agent.h"

namespace {

constexpr DWORD list = FILE_LIST_DIRECTORY, read_attributes = FILE_READ_ATTRIBUTES;
constexpr DWORD write_attributes = FILE_WRITE_ATTRIBUTES, delete_child = FILE_DELETE_CHILD, sync = SYNCHRONIZE;

TEST(access_rules, what_a_directory_or_a_read_only_file_needs_to_be_deleted) {
    const DWORD file = read_attributes | write_attributes | sync | DELETE;
    // A read-only file must have its attribute read and cleared first; attributes are also readable
    // through the directory's listing, and deletion also goes through the directory.
    EXPECT_TRUE(may_delete_file_entry(0, file, true));
    EXPECT_FALSE(may_delete_file_entry(list | delete_child, file & ~write_attributes, true));
    EXPECT_FALSE(may_delete_file_entry(list | delete_child, file & ~sync, true));
    EXPECT_TRUE(may_delete_file_entry(list, file & ~read_attributes, true));
    EXPECT_FALSE(may_delete_file_entry(0, file & ~read_attributes, true));
    EXPECT_TRUE(may_delete_file_entry(delete_child, file & ~DELETE, true));
    EXPECT_FALSE(may_delete_file_entry(list | delete_child, file & ~DELETE, false));
    EXPECT_FALSE(may_delete_file_unseen(delete_child, true));
    EXPECT_TRUE(may_delete_file_unseen(delete_child, false));

    const DWORD node = sync | list | read_attributes | DELETE;
    EXPECT_TRUE(may_delete_directory_node(node, 0, false));
    EXPECT_FALSE(may_delete_directory_node(node & ~list, 0, false));
    EXPECT_TRUE(may_delete_directory_node(node & ~read_attributes, list, false));
    EXPECT_TRUE(may_delete_directory_node(node & ~DELETE, delete_child, false));
    EXPECT_FALSE(may_delete_directory_node(node, delete_child, true));
    EXPECT_TRUE(may_delete_directory_node(node | write_attributes, 0, true));
}

}  // namespace
