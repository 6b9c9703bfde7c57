#include <gtest/gtest.h>

#include "security.h"

namespace {

// A list with an entry for Everyone and one for LocalSystem, in that order.
access_control_list two_entry_list() {
    std::vector<std::uint32_t> storage(64);
    ACL* acl = reinterpret_cast<ACL*>(storage.data());
    EXPECT_TRUE(InitializeAcl(acl, 256, ACL_REVISION));
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(everyone);
    EXPECT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
    size = sizeof(system);
    EXPECT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
    EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, SERVICE_QUERY_STATUS, everyone));
    EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, SERVICE_ALL_ACCESS, system));
    return access_control_list(acl);
}

const ACCESS_ALLOWED_ACE& entry(const access_control_list& list, DWORD index) {
    return *static_cast<const ACCESS_ALLOWED_ACE*>(get_ace(list.get(), index));
}

std::wstring sid_text(const ACCESS_ALLOWED_ACE& ace) {
    return convert_security_id_to_string(const_cast<DWORD*>(&ace.SidStart));
}

TEST(security, copy_of_an_empty_list_keeps_its_size_and_has_no_entries) {
    std::uint32_t storage[2];
    ASSERT_TRUE(InitializeAcl(reinterpret_cast<ACL*>(storage), sizeof(storage), ACL_REVISION));
    access_control_list copy(reinterpret_cast<ACL*>(storage));
    access_control_list::size_info info = copy.get_size_info();
    EXPECT_EQ(0u, info.ace_count);
    EXPECT_EQ(8u, info.bytes_in_use);
    EXPECT_EQ(8u, copy.storage_size());
}

TEST(security, copy_keeps_entries_in_order_and_is_trimmed_to_bytes_in_use) {
    access_control_list list = two_entry_list();
    access_control_list::size_info info = list.get_size_info();
    EXPECT_EQ(2u, info.ace_count);
    EXPECT_EQ(0u, info.bytes_free);
    EXPECT_EQ(L"S-1-1-0", sid_text(entry(list, 0)));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_QUERY_STATUS), entry(list, 0).Mask);
    EXPECT_EQ(L"S-1-5-18", sid_text(entry(list, 1)));
}

TEST(security, network_service_entry_comes_last_with_the_self_control_rights) {
    account_info account = get_account_info(L"NetworkService");
    EXPECT_EQ(L"NetworkService", account.user_name);
    EXPECT_EQ(L"NT AUTHORITY", account.domain);
    EXPECT_EQ(SidTypeWellKnownGroup, account.use);
    EXPECT_EQ(GetLengthSid(account.sid.data()), account.sid.size());
    EXPECT_EQ(L"S-1-5-20", convert_security_id_to_string(account.sid.data()));

    access_control_list list = two_entry_list();
    DWORD old_in_use = list.get_size_info().bytes_in_use;
    list.add_access_allowed_entry(account.sid.data());

    access_control_list::size_info info = list.get_size_info();
    EXPECT_EQ(3u, info.ace_count);
    DWORD expected_size = (old_in_use + 8 + static_cast<DWORD>(account.sid.size()) + 3) / 4 * 4;
    EXPECT_EQ(expected_size, info.bytes_in_use);
    EXPECT_EQ(expected_size, list.storage_size());
    EXPECT_EQ(L"S-1-1-0", sid_text(entry(list, 0)));
    EXPECT_EQ(L"S-1-5-18", sid_text(entry(list, 1)));
    const ACCESS_ALLOWED_ACE& added = entry(list, 2);
    EXPECT_EQ(L"S-1-5-20", sid_text(added));
    EXPECT_EQ(0x34u, added.Mask);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, added.Header.AceType);
    EXPECT_EQ(0, added.Header.AceFlags);
}

TEST(security, unknown_account_fails_in_the_lookup) {
    try {
        get_account_info(L"no-such-account-8c1e4");
        FAIL() << "the look-up succeeded";
    } catch (const system_exception& e) {
        EXPECT_EQ(L"LookupAccountNameW", e.call());
        EXPECT_NE(0u, e.error());
    }
}

TEST(security, account_kinds_outside_the_table_are_named_by_number) {
    EXPECT_EQ(L"user", sid_name_use_text(1));
    EXPECT_EQ(L"well-known-group", sid_name_use_text(5));
    EXPECT_EQ(L"logon-session", sid_name_use_text(11));
    EXPECT_EQ(L"undefined(0)", sid_name_use_text(0));
    EXPECT_EQ(L"undefined(12)", sid_name_use_text(12));
    EXPECT_EQ(L"undefined(-1)", sid_name_use_text(-1));
}

TEST(security, impersonation_token_is_an_impersonation_token) {
    access_token token = get_impersonation_token();
    ASSERT_NE(nullptr, token.get());
    TOKEN_TYPE type{};
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenType, &type, sizeof(type), &size));
    EXPECT_EQ(TokenImpersonation, type);
    access_token moved(std::move(token));
    EXPECT_EQ(nullptr, token.get());
    EXPECT_NE(nullptr, moved.get());
}

}  // namespace
