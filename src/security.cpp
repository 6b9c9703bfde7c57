// Access control lists, account look-up, service access lists and the impersonation token.

#include "security.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

DWORD words_for(DWORD bytes) { return (bytes + 3) / 4; }

void initialize_acl(std::vector<std::uint32_t>& storage) {
    if (!InitializeAcl(reinterpret_cast<ACL*>(storage.data()), static_cast<DWORD>(storage.size() * 4), ACL_REVISION))
        AGENT_THROW_LAST_ERROR(system_exception, L"InitializeAcl");
}

void append_ace(std::vector<std::uint32_t>& storage, const void* ace) {
    // The entry's own size field says how many bytes to copy; MAXDWORD places it after all others.
    DWORD size = static_cast<const ACE_HEADER*>(ace)->AceSize;
    if (!AddAce(reinterpret_cast<ACL*>(storage.data()), ACL_REVISION, MAXDWORD, const_cast<void*>(ace), size))
        AGENT_THROW_LAST_ERROR(system_exception, L"AddAce");
}

void copy_entries(std::vector<std::uint32_t>& storage, const ACL* source, DWORD count) {
    for (DWORD index = 0; index < count; ++index) append_ace(storage, get_ace(source, index));
}

}  // namespace

access_control_list::size_info get_size_info(const ACL* acl) {
    ACL_SIZE_INFORMATION info{};
    if (!GetAclInformation(const_cast<ACL*>(acl), &info, sizeof(info), AclSizeInformation))
        AGENT_THROW_LAST_ERROR(system_exception, L"GetAclInformation");
    return {info.AceCount, info.AclBytesInUse, info.AclBytesFree};
}

const void* get_ace(const ACL* acl, DWORD index) {
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(acl), index, &ace)) AGENT_THROW_LAST_ERROR(system_exception, L"GetAce");
    return ace;
}

access_control_list::access_control_list(const ACL* source) {
    size_info info = ::get_size_info(source);
    storage_.resize(words_for(info.bytes_in_use));
    initialize_acl(storage_);
    copy_entries(storage_, source, info.ace_count);
}

void access_control_list::add_ace(const void* ace) { append_ace(storage_, ace); }

access_control_list::size_info access_control_list::get_size_info() const { return ::get_size_info(get()); }

void access_control_list::add_access_allowed_entry(PSID sid) {
    if (sid == nullptr || !IsValidSid(sid)) LOG_FATAL_AND_EXIT(L"invalid sid");
    size_info info = get_size_info();
    DWORD entry_size = GetLengthSid(sid) + 8;
    DWORD new_size = info.bytes_in_use + entry_size;
    DWORD new_count = info.ace_count + 1;
    LOG_DEBUG(L"add access allowed ace: aclsize=%u acecount=%u newaclsize=%u newacecount=%u newacesize=%u",
              info.bytes_in_use, info.ace_count, new_size, new_count, entry_size);
    // Built aside and swapped in only when complete, so a failure leaves the old list intact.
    std::vector<std::uint32_t> rebuilt(words_for(new_size));
    initialize_acl(rebuilt);
    copy_entries(rebuilt, get(), info.ace_count);
    if (!AddAccessAllowedAceEx(reinterpret_cast<ACL*>(rebuilt.data()), ACL_REVISION, 0, service_self_control_rights,
                               sid))
        AGENT_THROW_LAST_ERROR(system_exception, L"AddAccessAllowedAceEx");
    storage_.swap(rebuilt);
}

std::wstring sid_name_use_text(int use) {
    static const wchar_t* const names[] = {L"user",           L"group",   L"domain",  L"alias",
                                           L"well-known-group", L"deleted-account", L"invalid", L"unknown",
                                           L"computer",       L"label",   L"logon-session"};
    if (use >= 1 && use <= 11) return names[use - 1];
    return format_text(L"undefined(%d)", use);
}

std::wstring convert_security_id_to_string(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) AGENT_THROW_LAST_ERROR(system_exception, L"ConvertSidToStringSidW");
    local_memory_ptr<wchar_t> owner(text);
    return std::wstring(text);
}

account_info get_account_info(const std::wstring& user_name) {
    LOG_DEBUG(L"will lookup: user_name=[%s]\n", user_name);
    // Fixed sizes and no retry: an identifier or a domain name longer than these is not an account
    // this program installs a service for, and the failure names the call.
    std::vector<BYTE> sid(128);
    DWORD sid_size = static_cast<DWORD>(sid.size());
    wchar_t domain[128] = {};
    DWORD domain_size = 128;
    SID_NAME_USE use{};
    if (!LookupAccountNameW(nullptr, user_name.c_str(), sid.data(), &sid_size, domain, &domain_size, &use))
        AGENT_THROW_LAST_ERROR(system_exception, L"LookupAccountNameW");
    sid.resize(GetLengthSid(sid.data()));
    account_info info{user_name, std::wstring(domain, wcsnlen(domain, 128)), std::move(sid), use};
    if (is_debug_enabled()) {
        LOG_DEBUG(L"did lookup: sid=[%s] sidsize=%u domain=[%s] use=[%s]", convert_security_id_to_string(info.sid.data()),
                  static_cast<unsigned>(info.sid.size()), info.domain, sid_name_use_text(info.use));
    }
    return info;
}

service_dacl get_service_dacl(const std::wstring& service_name) {
    service_dacl result;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(service_name.c_str(), SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &result.dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) throw system_exception(AGENT_HERE, L"GetNamedSecurityInfoW", error);
    result.descriptor = local_memory_ptr<void>(descriptor);
    return result;
}

void set_service_dacl(const std::wstring& service_name, access_control_list& list) {
    // The call takes a writable name.
    std::vector<wchar_t> name(service_name.begin(), service_name.end());
    name.push_back(L'\0');
    DWORD error = SetNamedSecurityInfoW(name.data(), SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        list.get(), nullptr);
    if (error != ERROR_SUCCESS) throw system_exception(AGENT_HERE, L"SetNamedSecurityInfoW", error);
}

access_token& access_token::operator=(access_token&& other) noexcept {
    access_token old(std::move(other));
    std::swap(handle_, old.handle_);
    return *this;
}

access_token::~access_token() {
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) return;
    LOG_TRACE(L"access_token: close handle: handle=0x%x", reinterpret_cast<std::uintptr_t>(handle_));
    CloseHandle(handle_);
}

access_token get_impersonation_token() {
    HANDLE process_token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY | STANDARD_RIGHTS_READ,
                          &process_token))
        throw_last_error(L"OpenProcessToken(GetCurrentProcess())");
    access_token owner(process_token);
    HANDLE copy = nullptr;
    if (!DuplicateToken(owner.get(), SecurityImpersonation, &copy)) throw_last_error(L"DuplicateToken");
    return access_token(copy);
}
