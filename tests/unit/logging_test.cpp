#include <gtest/gtest.h>

#include "agent.h"
// After windows.h, which agent.h includes.
#include <dbghelp.h>

// A function whose name is longer than the 256 characters the symbol look-up has room for.
#define NAME_PART_ abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz
#define JOIN_(a, b) a##b
#define JOIN(a, b) JOIN_(a, b)
#define LONG_NAME JOIN(JOIN(JOIN(JOIN(long_name_, NAME_PART_), NAME_PART_), NAME_PART_), NAME_PART_)
#define WIDE_TEXT_(x) L## #x
#define WIDE_TEXT(x) WIDE_TEXT_(x)

[[gnu::noinline]] std::vector<stack_frame> LONG_NAME() { return stack_trace().frames(); }

namespace {

TEST(logging, function_names_are_qualified_without_signature_in_clang_spellings) {
    const std::pair<const char*, const wchar_t*> cases[] = {
        {"void services::open_service(const std::wstring &)", L"services::open_service"},
        {"int wmain(int, wchar_t **)", L"wmain"},
        {"void (anonymous namespace)::fail_deep_inside()", L"(anonymous namespace)::fail_deep_inside"},
        {"void local_memory_ptr<wchar_t>::deleter::operator()(T *) const [T = wchar_t]",
         L"local_memory_ptr<wchar_t>::deleter::operator()"},
        {"const std::wstring &get_agent_home()", L"get_agent_home"},
        {"auto get_running_exe_path()::(anonymous class)::operator()(const wchar_t *) const",
         L"get_running_exe_path::<lambda>"},
    };
    for (const auto& [pretty, name] : cases) EXPECT_EQ(qualified_function_name(pretty), name) << pretty;
}

TEST(stack_traces, a_name_longer_than_the_buffer_ends_where_the_buffer_does) {
    // DbgHelp reports the full length of a name it has cut; only what it wrote is the name.
    std::wstring name = LONG_NAME().at(0).function;
    std::wstring full = WIDE_TEXT(LONG_NAME);
    ASSERT_GT(full.size(), 300u);
    EXPECT_GT(name.size(), 200u);
    EXPECT_LT(name.size(), 257u);
    EXPECT_EQ(name, full.substr(0, name.size()));
}

// A symbol path on a drive that is not ready must not open a dialog in an interactive FATAL.
TEST(stack_traces, the_symbol_engine_never_asks_the_user) {
    ASSERT_FALSE(stack_trace().frames().empty());
    FARPROC get_options = GetProcAddress(GetModuleHandleW(L"dbghelp.dll"), "SymGetOptions");
    ASSERT_NE(get_options, nullptr);
    constexpr DWORD quiet = SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS;
    EXPECT_EQ(reinterpret_cast<decltype(&SymGetOptions)>(reinterpret_cast<void*>(get_options))() & quiet, quiet);
}

}  // namespace
