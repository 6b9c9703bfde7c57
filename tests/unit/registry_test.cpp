// Registry key holders, listing, subtree collection and deletion against the prefix's real registry.
// Each test builds its own subtree under HKEY_LOCAL_MACHINE\SOFTWARE with plain Windows calls and
// removes whatever is left of it afterwards. It does so in the 32-bit view, where an older
// generation's settings live: the x64 build finds them only if it asks for that view.

#include <gtest/gtest.h>

#include <algorithm>

#include "agent.h"
#include "fileio.h"
#include "registry.h"

namespace {

class registry_test : public ::testing::Test {
protected:
    void SetUp() override {
        base = L"SOFTWARE\\AgentRegistryTest" + create_guid();
        create(L"");
    }
    void TearDown() override {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS) {
            RegDeleteTreeW(key, nullptr);
            RegCloseKey(key);
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), KEY_WOW64_32KEY, 0);
        }
    }

    // Creates base\relative (and every key above it).
    void create(const std::wstring& relative) {
        std::wstring path = relative.empty() ? base : base + L"\\" + relative;
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    bool exists(const std::wstring& relative) const {
        std::wstring path = relative.empty() ? base : base + L"\\" + relative;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }

    std::wstring base;
};

TEST_F(registry_test, subtree_is_collected_in_pre_order_and_deleted_children_first) {
    // 256 characters: one more than the usual limit, so the name buffer has to grow to read it.
    std::wstring long_name(256, L'x');
    for (const wchar_t* relative : {L"a\\a1\\deep", L"a\\a2", L"b"}) create(relative);
    create(L"b\\" + long_name);

    regkey_handle_ptr top = open_registry_key(get_local_machine_root(), base);
    EXPECT_EQ(top->full_path(), L"HKEY_LOCAL_MACHINE\\" + base);
    EXPECT_EQ(open_registry_key(top, L"a")->path(), base + L"\\a");
    std::vector<std::wstring> names = enumerate_subkeys(open_registry_key(top, L"b"));
    ASSERT_EQ(names, std::vector<std::wstring>{long_name});
    EXPECT_TRUE(enumerate_subkeys(open_registry_key(top, L"a\\a2")).empty());

    // The list's own first element as the start, as a caller naturally writes it.
    std::vector<regkey_handle_ptr> keys{top};
    collect_subkeys(keys.front(), keys);
    std::vector<std::wstring> paths;
    for (const regkey_handle_ptr& key : keys)
        paths.push_back(key->path().substr(std::min(base.size() + 1, key->path().size())));
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"", L"a", L"a\\a1", L"a\\a1\\deep", L"a\\a2", L"b", L"b\\" + long_name}));

    // The platform refuses a key that still has subkeys.
    EXPECT_THROW(delete_registry_key(keys[1]), registry_exception);
    EXPECT_TRUE(exists(L"a"));

    std::reverse(keys.begin(), keys.end());
    for (const regkey_handle_ptr& key : keys) delete_registry_key(key);
    EXPECT_FALSE(exists(L""));
}

TEST_F(registry_test, refusals_and_missing_keys) {
    // The root is never deleted, whatever its rights.
    delete_registry_key(get_local_machine_root());

    // Held without DELETE: refused before the platform is asked, so the key survives.
    auto read_only = std::make_shared<regkey_handle_info>(get_local_machine_root().get(), nullptr, base, KEY_READ);
    try {
        delete_registry_key(read_only);
        FAIL() << "deleted a key held without DELETE";
    } catch (const registry_access_denied_exception& e) {
        EXPECT_EQ(e.call(), L"RegDeleteKeyExW");
        EXPECT_EQ(e.permissions(), static_cast<std::uint32_t>(KEY_READ));
        EXPECT_EQ(e.key(), L"HKEY_LOCAL_MACHINE\\" + base);
    }
    EXPECT_TRUE(exists(L""));

    regkey_handle_ptr top = open_registry_key(get_local_machine_root(), base);
    try {
        open_registry_key(top, L"missing");
        FAIL() << "opened a missing key";
    } catch (const registry_key_not_found_exception& e) {
        EXPECT_EQ(e.call(), L"RegOpenKeyExW");
        EXPECT_EQ(e.error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(e.key(), L"HKEY_LOCAL_MACHINE\\" + base + L"\\missing");
    }
    // A key deleted behind the holder's back is gone for the delete, too.
    create(L"gone");
    regkey_handle_ptr doomed = open_registry_key(top, L"gone");
    ASSERT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (base + L"\\gone").c_str(), KEY_WOW64_32KEY, 0), ERROR_SUCCESS);
    EXPECT_THROW(delete_registry_key(doomed), registry_key_not_found_exception);
}

}  // namespace
