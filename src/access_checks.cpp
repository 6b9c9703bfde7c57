// Access checks against the current user's token: what the replacement of an installation would be
// allowed to delete and write.

#include "access_checks.h"

#include <aclapi.h>

#include "agent.h"
#include "fileio.h"

namespace {

bool has(DWORD mask, DWORD rights) { return (mask & rights) == rights; }

// The file-specific meaning of the generic rights, as the file system maps them.
GENERIC_MAPPING file_generic_mapping() {
    return GENERIC_MAPPING{0x120089, 0x120116, 0x1200A0, 0x1F01FF};
}

// Refusals and paths that are not there are answers; anything else is the caller's problem.
template <typename Check>
bool answer_or_false(Check check) {
    try {
        return check();
    } catch (const access_denied_exception&) {
        return false;
    } catch (const system_sharing_violation_exception&) {
        return false;
    } catch (const system_file_not_found_exception&) {
        return false;
    }
}

}  // namespace

DWORD get_maximum_allowed_access(const access_token& token, const std::wstring& path) {
    PSECURITY_DESCRIPTOR raw_descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                            DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, nullptr, nullptr, &raw_descriptor);
    if (error != ERROR_SUCCESS) {
        // A path whose directory is missing does not exist either; the platform names that case apart.
        if (error == ERROR_PATH_NOT_FOUND)
            throw system_file_not_found_exception(AGENT_HERE, L"GetNamedSecurityInfoW", path);
        last_error_translator failure(L"GetNamedSecurityInfoW", error);
        failure.path = path;
        failure.translate();
    }
    local_memory_ptr<void> descriptor(raw_descriptor);

    GENERIC_MAPPING mapping = file_generic_mapping();
    PRIVILEGE_SET privileges{};
    DWORD privileges_length = sizeof privileges;
    DWORD granted = 0;
    BOOL status = FALSE;
    if (!AccessCheck(descriptor.get(), token.get(), MAXIMUM_ALLOWED, &mapping, &privileges, &privileges_length,
                     &granted, &status))
        throw_last_error(L"AccessCheck");
    LOG_TRACE(L"granted access: path=[%s] access=0x%08X", path, static_cast<unsigned>(granted));
    return granted;
}

// ---- the decisions on access masks alone -------------------------------------------------------

bool may_read_attributes(DWORD node, DWORD parent) {
    return has(node, FILE_READ_ATTRIBUTES) || has(parent, FILE_LIST_DIRECTORY);
}

bool may_delete(DWORD node, DWORD parent) { return has(node, DELETE) || has(parent, FILE_DELETE_CHILD); }

bool may_delete_directory_node(DWORD node, DWORD parent, bool read_only) {
    return has(node, SYNCHRONIZE | FILE_LIST_DIRECTORY) && may_read_attributes(node, parent) &&
           (!read_only || has(node, SYNCHRONIZE | FILE_WRITE_ATTRIBUTES)) && may_delete(node, parent);
}

bool may_delete_file_unseen(DWORD directory, bool read_only) {
    return !read_only && has(directory, FILE_DELETE_CHILD);
}

bool may_delete_file_entry(DWORD directory, DWORD file, bool read_only) {
    if (!read_only) return has(file, DELETE);
    // A read-only file has to lose the attribute before it can go.
    return may_read_attributes(file, directory) && has(file, SYNCHRONIZE | FILE_WRITE_ATTRIBUTES) &&
           may_delete(file, directory);
}

// ---- the walk ------------------------------------------------------------------------------------

delete_directory_recursive_checker::delete_directory_recursive_checker(
    std::wstring path, const access_token& token, const delete_directory_recursive_checker* parent, DWORD access,
    bool read_only)
    : path_(std::move(path)), token_(token), parent_(parent), access_(access), read_only_(read_only) {}

const delete_directory_recursive_checker& delete_directory_recursive_checker::parent() const {
    if (parent_ == nullptr) LOG_FATAL_AND_EXIT(L"invalid root checker access");
    return *parent_;
}

bool delete_directory_recursive_checker::can_delete() {
    const delete_directory_recursive_checker& above = parent();
    if (above.parent_ == nullptr) {
        // The top of the tree: its attribute was not seen in a listing.
        if (!may_read_attributes(access_, above.access_)) return false;
        read_only_ = (get_file_attributes(path_) & FILE_ATTRIBUTE_READONLY) != 0;
    }
    if (!may_delete_directory_node(access_, above.access_, read_only_)) return false;
    for (const directory_entry& entry : enumerate_directory(path_)) {
        std::wstring child_path = path_ + L"\\" + entry.file_name;
        bool entry_read_only = (entry.attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            delete_directory_recursive_checker child(child_path, token_, this,
                                                     get_maximum_allowed_access(token_, child_path), entry_read_only);
            // A link to a directory (junction or symbolic link) is deleted as itself. Walking through it
            // would judge another tree, and a link back up the tree would be followed until the system
            // gives up on the path (error 1921 or a path too long), which answers nothing.
            bool link = (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (link ? !may_delete_directory_node(child.access(), access_, entry_read_only) : !child.can_delete())
                return false;
        } else if (!may_delete_file_unseen(access_, entry_read_only) &&
                   !may_delete_file_entry(access_, get_maximum_allowed_access(token_, child_path), entry_read_only)) {
            return false;
        }
    }
    return true;
}

bool can_delete_directory_tree(const std::wstring& path) {
    return answer_or_false([&] {
        access_token token = get_impersonation_token();
        std::wstring above_path = parent_directory(path);
        delete_directory_recursive_checker above(above_path, token, nullptr,
                                                 get_maximum_allowed_access(token, above_path), false);
        delete_directory_recursive_checker top(path, token, &above, get_maximum_allowed_access(token, path), false);
        return top.can_delete();
    });
}

bool can_delete_file(const std::wstring& path) {
    return answer_or_false([&] {
        access_token token = get_impersonation_token();
        DWORD file = get_maximum_allowed_access(token, path);
        if (has(file, DELETE)) return true;
        return may_delete(file, get_maximum_allowed_access(token, parent_directory(path)));
    });
}

bool can_add_file(const std::wstring& path) {
    return answer_or_false([&] {
        access_token token = get_impersonation_token();
        return has(get_maximum_allowed_access(token, path), FILE_ADD_FILE);
    });
}
