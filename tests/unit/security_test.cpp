// The access list install-service gives the service of a user account, and the account's registered name:
// Wine's service manager keeps no list, and its look-up knows no user principal names.

#include <gtest/gtest.h>

#include "security.h"
#include "services.h"

namespace {

std::wstring sid_of(const access_control_list& list, DWORD index) {
    auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(get_ace(list.get(), index));
    return convert_security_id_to_string(const_cast<DWORD*>(&ace->SidStart));
}

TEST(security, the_account_entry_comes_last_with_the_self_control_rights_and_nothing_spare) {
    std::uint32_t storage[64];
    ACL* acl = reinterpret_cast<ACL*>(storage);
    ASSERT_TRUE(InitializeAcl(acl, sizeof storage, ACL_REVISION));
    for (WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinLocalSystemSid}) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof sid;
        ASSERT_TRUE(CreateWellKnownSid(type, nullptr, sid, &size));
        ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, SERVICE_QUERY_STATUS, sid));
    }
    access_control_list list(acl);
    DWORD old_in_use = list.get_size_info().bytes_in_use;
    account_info account = get_account_info(L"NetworkService");
    EXPECT_EQ(L"NT AUTHORITY", account.domain);
    EXPECT_EQ(L"alice@corp.example", registered_account_name(L"alice@corp.example", L"CORP"));
    list.add_access_allowed_entry(account.sid.data());

    access_control_list::size_info info = list.get_size_info();
    EXPECT_EQ(3u, info.ace_count);
    DWORD expected_size = (old_in_use + 8 + static_cast<DWORD>(account.sid.size()) + 3) / 4 * 4;
    EXPECT_EQ(expected_size, info.bytes_in_use);
    EXPECT_EQ(expected_size, list.storage_size());
    EXPECT_EQ((std::vector<std::wstring>{L"S-1-1-0", L"S-1-5-18", L"S-1-5-20"}),
              (std::vector<std::wstring>{sid_of(list, 0), sid_of(list, 1), sid_of(list, 2)}));
    auto* added = static_cast<const ACCESS_ALLOWED_ACE*>(get_ace(list.get(), 2));
    EXPECT_EQ(0x34u, added->Mask);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, added->Header.AceType);
    EXPECT_EQ(0, added->Header.AceFlags);
}

}  // namespace
