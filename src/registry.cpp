// Registry keys under HKEY_LOCAL_MACHINE, opened only to be listed and deleted.

#include "registry.h"

#include "agent.h"

namespace {

// Everything a key is opened for here: listing its subkeys and deleting it.
constexpr REGSAM list_and_delete_rights = DELETE | KEY_ENUMERATE_SUB_KEYS;
// The settings of an older generation were written by a 32-bit program, so they live in the 32-bit
// view of the registry on 64-bit Windows. A 32-bit process sees that view anyway; a 64-bit one must
// ask for it, or it would look at (and delete from) the 64-bit view. 32-bit Windows ignores the flag.
constexpr REGSAM older_generation_view = KEY_WOW64_32KEY;

// Room for a key name of the usual maximum of 255 characters and its terminator.
constexpr std::size_t initial_name_length = 256;

}  // namespace

regkey_handle_info::regkey_handle_info(regkey_handle_info* root, HKEY handle, std::wstring path, REGSAM access)
    : root_(root != nullptr ? root : this), handle_(handle), path_(std::move(path)), access_(access) {
    if (!is_root() && handle_ != nullptr && is_debug_enabled() && is_trace_enabled())
        LOG_TRACE(L"open regkey handle: handle=0x%x path=[%s]", reinterpret_cast<std::uintptr_t>(handle_), full_path());
}

regkey_handle_info::~regkey_handle_info() {
    if (is_root() || handle_ == nullptr) return;
    LOG_TRACE(L"close regkey handle: handle=0x%x path=[%s]", reinterpret_cast<std::uintptr_t>(handle_), full_path());
    RegCloseKey(handle_);
}

void regkey_handle_info::init_handle(HKEY handle) {
    if (handle == nullptr) LOG_FATAL_AND_EXIT(L"key init to nullptr");
    if (handle_ != nullptr) LOG_FATAL_AND_EXIT(L"key already initialized");
    handle_ = handle;
    LOG_TRACE(L"open regkey handle: handle=0x%x path=[%s]", reinterpret_cast<std::uintptr_t>(handle_), full_path());
}

std::wstring regkey_handle_info::full_path() const {
    if (is_root()) return path_;
    return root_->path() + L"\\" + path_;
}

const regkey_handle_ptr& get_local_machine_root() {
    // Leaked on purpose, like every process-wide value: nothing may close a predefined key.
    static const regkey_handle_ptr* const root = new regkey_handle_ptr(
        std::make_shared<regkey_handle_info>(nullptr, HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", 0));
    return *root;
}

void translate_error_code(LSTATUS error, const wchar_t* call, const regkey_handle_info& key) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        throw registry_key_not_found_exception(AGENT_HERE, call, key.full_path());
    case ERROR_ACCESS_DENIED:
        throw registry_access_denied_exception(AGENT_HERE, call, key.full_path(), key.access());
    default:
        throw registry_exception(AGENT_HERE, call, static_cast<std::uint32_t>(error), key.full_path());
    }
}

regkey_handle_ptr open_registry_key(const regkey_handle_ptr& parent, const std::wstring& subkey) {
    regkey_handle_info* root = parent->root();
    if (root == nullptr) LOG_FATAL_AND_EXIT(L"no root set");
    std::wstring path = parent->is_root() ? subkey : parent->path() + L"\\" + subkey;
    auto key = std::make_shared<regkey_handle_info>(root, nullptr, std::move(path), list_and_delete_rights);
    HKEY handle = nullptr;
    LSTATUS result =
        RegOpenKeyExW(parent->handle(), subkey.c_str(), 0, list_and_delete_rights | older_generation_view, &handle);
    if (result != ERROR_SUCCESS) translate_error_code(result, L"RegOpenKeyExW", *key);
    key->init_handle(handle);
    return key;
}

std::vector<std::wstring> enumerate_subkeys(const regkey_handle_ptr& key) {
    std::vector<std::wstring> names;
    std::wstring buffer;
    for (DWORD index = 0;;) {
        if (buffer.size() < initial_name_length) buffer.resize(initial_name_length);
        DWORD length = static_cast<DWORD>(buffer.size());
        LSTATUS result =
            RegEnumKeyExW(key->handle(), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_SUCCESS) {
            names.emplace_back(buffer.data(), length);
            ++index;
        } else if (result == ERROR_MORE_DATA) {
            // Some systems allow names longer than 255 characters; the same index is read again.
            buffer.resize(buffer.size() * 2);
        } else if (result == ERROR_NO_MORE_ITEMS) {
            return names;
        } else {
            translate_error_code(result, L"RegEnumKeyExW", *key);
        }
    }
}

void collect_subkeys(regkey_handle_ptr key, std::vector<regkey_handle_ptr>& list) {
    for (const std::wstring& name : enumerate_subkeys(key)) {
        regkey_handle_ptr child = open_registry_key(key, name);
        list.push_back(child);
        collect_subkeys(child, list);
    }
}

void delete_registry_key(const regkey_handle_ptr& key) {
    if (key->is_root()) return;
    if ((key->access() & DELETE) == 0)
        throw registry_access_denied_exception(AGENT_HERE, L"RegDeleteKeyExW", key->full_path(), key->access());
    LSTATUS result = RegDeleteKeyExW(key->root()->handle(), key->path().c_str(), older_generation_view, 0);
    if (result != ERROR_SUCCESS) translate_error_code(result, L"RegDeleteKeyExW", *key);
}
