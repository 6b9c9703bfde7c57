#pragma once
// Whether the current user could delete or write parts of an installation, answered from the access
// the user's token is granted on each path, without changing anything on disk.

#include <windows.h>

#include <string>

#include "security.h"

// The access mask `token` is granted on the file or directory at `path` (MAXIMUM_ALLOWED).
DWORD get_maximum_allowed_access(const access_token& token, const std::wstring& path);

// ---- the decisions on access masks alone -------------------------------------------------------

// Attributes of a node can be read through its own rights or by listing its directory.
bool may_read_attributes(DWORD node, DWORD parent);
// A node goes through its own DELETE right or through FILE_DELETE_CHILD on its directory.
bool may_delete(DWORD node, DWORD parent);
// A directory node (apart from its entries): it can be listed, its attributes read, a read-only
// attribute cleared, and it can be deleted.
bool may_delete_directory_node(DWORD node, DWORD parent, bool read_only);
// A file in a directory whose rights alone settle the answer, so the file itself is not examined.
bool may_delete_file_unseen(DWORD directory, bool read_only);
// A file examined with its own rights.
bool may_delete_file_entry(DWORD directory, DWORD file, bool read_only);

// ---- the walk ------------------------------------------------------------------------------------

// One node of a recursive check of a directory tree.
class delete_directory_recursive_checker {
public:
    delete_directory_recursive_checker(std::wstring path, const access_token& token,
                                       const delete_directory_recursive_checker* parent, DWORD access, bool read_only);

    // The node above; asking a node without one is a broken program.
    const delete_directory_recursive_checker& parent() const;
    // The first refusal ends the walk.
    bool can_delete();

    const std::wstring& path() const { return path_; }
    DWORD access() const { return access_; }

private:
    std::wstring path_;
    const access_token& token_;
    const delete_directory_recursive_checker* parent_;
    DWORD access_;
    bool read_only_;
};

// A path that does not exist, and any refusal along the way, answers false.
bool can_delete_directory_tree(const std::wstring& path);
bool can_delete_file(const std::wstring& path);
bool can_add_file(const std::wstring& path);
