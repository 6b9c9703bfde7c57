#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>

#include "agent.h"
#include "processes.h"
#include "security.h"
#include "services.h"
#include "system_libraries.h"

namespace {

// While set, every allocation overwrites the thread's last error, as an allocator that calls into the
// system may: the exception's own text arguments are allocated at the throw site.
bool allocation_clobbers_last_error = false;

}  // namespace

void* operator new(std::size_t size) {
    if (allocation_clobbers_last_error) SetLastError(0x20001234);  // an application's code, never the system's
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

namespace {

// Each row: the call name its exception carries, and a call that fails.
TEST(exceptions, error_code_is_read_before_the_throw_site_allocates) {
    service_handle_ptr manager = open_service_manager(SC_MANAGER_CONNECT);
    DWORD acl_storage[2];
    ASSERT_TRUE(InitializeAcl(reinterpret_cast<ACL*>(acl_storage), sizeof acl_storage, ACL_REVISION));
    // A service name too long to be kept inside its string object, opened without the rights the call needs.
    auto event_log = [&](DWORD rights) { return open_service(manager, L"EventLog", rights); };
    const std::pair<const char*, std::function<void()>> failing[] = {
        {"CreateProcessW", [] { create_process(L"Z:\\no\\such\\program.exe", {}, {}, L"", false); }},
        {"LookupAccountNameW", [] { get_account_info(L"agent-unit-no-such-account"); }},
        {"GetAce", [&] { get_ace(reinterpret_cast<const ACL*>(acl_storage), 3); }},
        {"DeleteService", [&] { delete_service(manager); }},  // a manager handle where a service belongs
        {"StartServiceW", [&] { start_service(event_log(SERVICE_QUERY_STATUS)); }},
        {"QueryServiceStatus", [&] { query_service_status(event_log(SERVICE_INTERROGATE)); }},
        {"ChangeServiceConfig2W", [&] { set_service_start_delayed(event_log(SERVICE_QUERY_STATUS)); }},
        // A library or procedure loaded on first use is named with the call.
        {"LoadLibraryExW(agent-no-such.dll)", [] { get_system_procedure(L"agent-no-such.dll", "F"); }},
        {"GetProcAddress(kernel32.dll!AgentNoSuch)", [] { get_system_procedure(L"kernel32.dll", "AgentNoSuch"); }},
    };
    auto error_of = [](const std::function<void()>& call) -> std::pair<std::uint32_t, std::string> {
        try {
            call();
        } catch (const system_exception& e) {
            return {e.error(), to_string(e.call())};
        }
        return {0, ""};
    };
    for (const auto& [name, call] : failing) {
        auto expected = error_of(call);
        allocation_clobbers_last_error = true;
        auto seen = error_of(call);
        allocation_clobbers_last_error = false;
        EXPECT_NE(expected.first, 0u) << name;
        EXPECT_EQ(seen, expected) << name;
        EXPECT_EQ(expected.second, name);
    }
}

// Where the system-folder search flag is refused (Windows 7 without KB2533623), the library comes
// by its full path under the system folder: the same module the flag gives.
TEST(system_libraries, by_full_path_the_same_module_as_through_the_search_flag) {
    HMODULE by_flag = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(by_flag, nullptr);
    EXPECT_EQ(load_from_system_directory(L"bcrypt.dll"), by_flag);
}

// Access is never refused under Wine, so the one handler that catches every refusal is checked here.
TEST(exceptions, one_handler_catches_every_access_denied_class) {
    source_site site{L"x.cpp", 1, L"f"};
    const std::function<void()> throwers[] = {
        [&] { throw file_access_denied_exception(site, L"CreateFileW", 5, L"open failed", L"p"); },
        [&] { throw registry_access_denied_exception(site, L"RegOpenKeyExW", L"k", 1); },
        [&] { throw service_access_denied_exception(site, L"OpenServiceW", L"s", 2); },
        [&] { throw service_manager_access_denied_exception(site, L"OpenSCManagerW", 3); },
        [&] { last_error_translator(L"OpenProcess", ERROR_ACCESS_DENIED).translate(); },
    };
    for (const auto& thrower : throwers) EXPECT_THROW(thrower(), access_denied_exception);
}

TEST(exceptions, error_codes_pick_the_class_and_the_form_they_are_shown_in) {
    EXPECT_THROW(last_error_translator(L"Call", ERROR_FILE_NOT_FOUND).translate(), system_file_not_found_exception);
    EXPECT_THROW(last_error_translator(L"Call", ERROR_SHARING_VIOLATION).translate(), system_sharing_violation_exception);
    // A missing directory is deliberately no file-not-found.
    try {
        last_error_translator(L"Call", ERROR_PATH_NOT_FOUND).translate();
    } catch (const system_file_not_found_exception&) {
        ADD_FAILURE() << "error 3 became file-not-found";
    } catch (const system_exception& e) {
        EXPECT_EQ(e.error(), 3u);
    }
    // Codes above 0x10000 are status values, shown in hexadecimal.
    source_site site{L"a.cpp", 1, L"f"};
    EXPECT_NE(system_exception(site, L"Call", 0xC0000005).message().find(L"call=Call(0xc0000005)"), std::wstring::npos);
}

[[gnu::noinline]] void throw_from_unnamed_namespace() { AGENT_THROW(process_not_found_exception, 7u); }

TEST(exceptions, throw_site_is_the_bare_function_and_file_name) {
    try {
        throw_from_unnamed_namespace();
        FAIL();
    } catch (const process_not_found_exception& e) {
        EXPECT_STREQ(e.function_name(), L"throw_from_unnamed_namespace");
        EXPECT_STREQ(e.file_name(), L"exceptions_test.cpp");
        EXPECT_FALSE(e.stack_trace().frames().empty());
    }
}

}  // namespace
