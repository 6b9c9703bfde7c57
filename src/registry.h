#pragma once
// Registry keys under HKEY_LOCAL_MACHINE, opened only to be listed and deleted.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

// One registry key. Always shared; every key remembers the predefined root it lies under and its path
// from there, so that exceptions and log lines name the key in full and a key can be deleted by name.
class regkey_handle_info {
public:
    // A null root makes this holder a root of its own (one of the predefined keys, never closed).
    regkey_handle_info(regkey_handle_info* root, HKEY handle, std::wstring path, REGSAM access);
    regkey_handle_info(const regkey_handle_info&) = delete;
    regkey_handle_info& operator=(const regkey_handle_info&) = delete;
    ~regkey_handle_info();

    // Stores the handle of a successful open; a null handle or a second one is a broken program.
    void init_handle(HKEY handle);

    bool is_root() const { return root_ == this; }
    regkey_handle_info* root() const { return root_; }
    HKEY handle() const { return handle_; }
    // A root's display name, or the path relative to the root.
    const std::wstring& path() const { return path_; }
    REGSAM access() const { return access_; }
    // "HKEY_LOCAL_MACHINE\SOFTWARE\..." as log lines and exceptions show the key.
    std::wstring full_path() const;

private:
    regkey_handle_info* root_;
    HKEY handle_;
    std::wstring path_;
    REGSAM access_;
};

using regkey_handle_ptr = std::shared_ptr<regkey_handle_info>;

// The process-wide holder of HKEY_LOCAL_MACHINE.
const regkey_handle_ptr& get_local_machine_root();

// Opens `subkey` below `parent` with the rights to list and delete it (DELETE | KEY_ENUMERATE_SUB_KEYS).
regkey_handle_ptr open_registry_key(const regkey_handle_ptr& parent, const std::wstring& subkey);
// Names of the immediate subkeys, in the order the system returns them.
std::vector<std::wstring> enumerate_subkeys(const regkey_handle_ptr& key);
// Appends every key below `key`, each before its own subkeys (depth-first pre-order). Keys opened
// before a failure stay in `list`. `key` is taken by value: it may be an element of `list` itself,
// which the appends move.
void collect_subkeys(regkey_handle_ptr key, std::vector<regkey_handle_ptr>& list);
// Deletes a key that has no subkeys left; a root is never deleted.
void delete_registry_key(const regkey_handle_ptr& key);
[[noreturn]] void translate_error_code(LSTATUS error, const wchar_t* call, const regkey_handle_info& key);
