#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>

#include "agent.h"
#include "processes.h"
#include "security.h"
#include "services.h"

namespace {

// While set, every allocation overwrites the thread's last error, as an allocator that calls into the
// system may: the exception's own text arguments are allocated at the throw site.
bool allocation_clobbers_last_error = false;
constexpr DWORD clobbered_error = 0x20001234;  // bit 29: an application's own code, never the system's

}  // namespace

void* operator new(std::size_t size) {
    if (allocation_clobbers_last_error) SetLastError(clobbered_error);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

namespace {

// Runs `body`, which must throw; returns what a catch of E saw, or fails the test.
template <typename E, typename F>
std::wstring message_of(F body) {
    try {
        body();
    } catch (const E& e) {
        return e.message();
    }
    ADD_FAILURE() << "nothing of the expected class was thrown";
    return L"";
}

std::wstring detail_of(const application_exception& e) {
    std::wstring message = e.message();
    return message.substr(message.find(L"): ") + 3);
}

TEST(exceptions, one_handler_catches_every_access_denied_class) {
    source_site site{L"x.cpp", 1, L"f"};
    auto caught = [](auto&& thrower) {
        try {
            thrower();
        } catch (const access_denied_exception&) {
            return true;
        } catch (...) {
        }
        return false;
    };
    EXPECT_TRUE(caught([&] { throw file_access_denied_exception(site, L"CreateFileW", 5, L"open failed", L"p"); }));
    EXPECT_TRUE(caught([&] { throw registry_access_denied_exception(site, L"RegOpenKeyExW", L"k", 1); }));
    EXPECT_TRUE(caught([&] { throw service_access_denied_exception(site, L"OpenServiceW", L"s", 2); }));
    EXPECT_TRUE(caught([&] { throw service_manager_access_denied_exception(site, L"OpenSCManagerW", 3); }));
    EXPECT_TRUE(caught([&] { throw system_access_denied_exception(site, L"X", 4); }));
    EXPECT_FALSE(caught([&] { throw file_not_found_exception(site, L"CreateFileW", 2, L"open failed", L"p"); }));
}

TEST(exceptions, error_codes_are_decimal_up_to_0x10000_and_hexadecimal_above) {
    source_site site{L"x.cpp", 1, L"f"};
    EXPECT_NE(system_exception(site, L"Call", 87).message().find(L"call=Call(87) system_msg=["), std::wstring::npos);
    EXPECT_NE(system_exception(site, L"Call", 0x10000).message().find(L"call=Call(65536)"), std::wstring::npos);
    EXPECT_NE(system_exception(site, L"Call", 0xC0000005).message().find(L"call=Call(0xc0000005)"),
              std::wstring::npos);
}

TEST(exceptions, message_wraps_the_detail_with_the_throw_site) {
    source_site site{L"services.cpp", 257, L"open_service"};
    service_does_not_exist_exception e(site, L"OpenServiceW", L"svc");
    EXPECT_EQ(e.message(), L"open_service(services.cpp:257): service does not exist: service=[svc] call=OpenServiceW(1060)");
    EXPECT_STREQ(e.what(), "service call failed");
}

TEST(exceptions, detail_texts_keep_their_established_wording) {
    source_site site{L"a.cpp", 1, L"f"};
    EXPECT_EQ(detail_of(file_exception(site, L"ReadFile", 6, L"read failed", L"C:\\x")),
              L"read failed: path=[C:\\x] call=ReadFile(6)");
    EXPECT_EQ(detail_of(registry_key_not_found_exception(site, L"RegOpenKeyExW", L"HKLM\\A")),
              L"registry key not found: key=[HKLM\\A] call=RegOpenKeyExW(2)");
    EXPECT_EQ(detail_of(registry_exception(site, L"RegDeleteKeyW", 1, L"K")).substr(0, 28),
              L"service call failed: key=[K]");
    EXPECT_EQ(detail_of(service_access_denied_exception(site, L"OpenServiceW", L"s", 0xF01FF)),
              L"service access denied: service=[s] permissions=0x000F01FF call=OpenServiceW(5)");
    EXPECT_EQ(detail_of(service_operation_exception(site, L"s", L"start")),
              L"service operation failed: service=[s] operation=start)");
    EXPECT_EQ(detail_of(service_timeout_exception(site, L"s", L"stop")),
              L"service operation timed out: service=[s] operation=stop)");
    EXPECT_EQ(detail_of(jvm_load_exception(site, L"j.dll", L"JVM DLL failed to load", L"LoadLibraryExW", 193)),
              L"JVM DLL failed to load: jvm_dll=[j.dll] call=LoadLibraryExW(193)");
    EXPECT_EQ(detail_of(jvm_creation_exception(site, L"j.dll", -6)), L"JVM creation failed (-6): jvm_dll=[j.dll]");
    EXPECT_EQ(detail_of(bad_handle_string(site, L"wcstoul", L"-1", 34)),
              L"bad handle string: input_string=[-1] call=wcstoul(errno=34)");
    EXPECT_EQ(detail_of(ancestor_process_not_found_exception(site, 42)),
              L"ancestor process not found: descendant_pid=42");
}

TEST(exceptions, classes_without_a_text_of_their_own_answer_unknown_exception) {
    source_site site{L"a.cpp", 1, L"f"};
    EXPECT_STREQ(process_not_found_exception(site, 1).what(), "Unknown exception");
    EXPECT_STREQ(jvm_creation_exception(site, L"x", -1).what(), "jvm creation failed");
    EXPECT_STREQ(registry_key_not_found_exception(site, L"c", L"k").what(), "system call failed");
}

TEST(exceptions, translate_picks_the_class_by_error_code) {
    auto translate = [](std::uint32_t error) {
        last_error_translator t(L"SomeCall", error);
        t.path = L"C:\\p";
        t.permissions = 0x10;
        t.translate();
    };
    EXPECT_NE(message_of<system_file_not_found_exception>([&] { translate(2); }).find(L"file not found: path=[C:\\p]"),
              std::wstring::npos);
    EXPECT_NE(message_of<system_access_denied_exception>([&] { translate(5); }).find(L"permissions=0x00000010"),
              std::wstring::npos);
    EXPECT_NE(message_of<system_sharing_violation_exception>([&] { translate(32); }).find(L"sharing violation"),
              std::wstring::npos);
    // Path-not-found is deliberately not special.
    std::wstring plain = message_of<system_exception>([&] { translate(3); });
    EXPECT_EQ(plain.find(L"last_error_translator::translate(agent.h:"), 0u) << plain;
    EXPECT_NE(plain.find(L"call=SomeCall(3)"), std::wstring::npos);
    try {
        translate(3);
    } catch (const system_file_not_found_exception&) {
        ADD_FAILURE() << "error 3 must not become file-not-found";
    } catch (const system_exception&) {
    }
}

TEST(exceptions, system_message_falls_back_for_unknown_codes) {
    source_site site{L"a.cpp", 1, L"f"};
    EXPECT_EQ(system_exception(site, L"X", 0x2FFFFFFF).system_message(), L"<cannot find message (error=805306367)");
    std::wstring known = system_exception(site, L"X", 2).system_message();
    EXPECT_FALSE(known.empty());
    EXPECT_NE(known.back(), L'\n');
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

TEST(exceptions, error_code_is_read_before_the_throw_site_allocates) {
    service_handle_ptr manager = open_service_manager(SC_MANAGER_CONNECT);
    DWORD acl_storage[2];
    ASSERT_TRUE(InitializeAcl(reinterpret_cast<ACL*>(acl_storage), sizeof acl_storage, ACL_REVISION));
    const ACL* empty = reinterpret_cast<const ACL*>(acl_storage);
    const std::pair<const char*, std::function<void()>> failing[] = {
        {"CreateProcessW", [] { create_process(L"Z:\\no\\such\\program.exe", {}, {}, L"", false); }},
        {"LookupAccountNameW", [] { get_account_info(L"agent-unit-no-such-account"); }},
        {"GetAce", [&] { get_ace(empty, 3); }},
        // A manager handle where a service handle belongs.
        {"DeleteService", [&] { delete_service(manager); }},
        // A service whose name is too long to be kept inside its string object, without the rights the call needs.
        {"StartServiceW", [&] { start_service(open_service(manager, L"EventLog", SERVICE_QUERY_STATUS)); }},
        {"QueryServiceStatus", [&] { query_service_status(open_service(manager, L"EventLog", SERVICE_INTERROGATE)); }},
        {"ChangeServiceConfig2W",
         [&] { set_service_start_delayed(open_service(manager, L"EventLog", SERVICE_QUERY_STATUS)); }},
    };
    auto error_of = [](const std::function<void()>& call) -> std::uint32_t {
        try {
            call();
        } catch (const system_exception& e) {
            return e.error();
        }
        return 0;
    };
    for (const auto& [name, call] : failing) {
        std::uint32_t expected = error_of(call);
        allocation_clobbers_last_error = true;
        std::uint32_t seen = error_of(call);
        allocation_clobbers_last_error = false;
        EXPECT_NE(expected, 0u) << name;
        EXPECT_EQ(seen, expected) << name;
    }
}

}  // namespace
