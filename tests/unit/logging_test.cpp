#include <gtest/gtest.h>

#include "agent.h"

// A function whose name is longer than the 256 characters the symbol look-up has room for.
#define NAME_PART_ abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz
#define JOIN_(a, b) a##b
#define JOIN(a, b) JOIN_(a, b)
#define LONG_NAME JOIN(JOIN(JOIN(JOIN(JOIN(JOIN(long_name_, NAME_PART_), NAME_PART_), NAME_PART_), NAME_PART_), \
                                  NAME_PART_), NAME_PART_)
#define WIDE_TEXT_(x) L## #x
#define WIDE_TEXT(x) WIDE_TEXT_(x)

[[gnu::noinline]] std::vector<stack_frame> LONG_NAME() { return stack_trace().frames(); }

namespace {

TEST(logging, function_names_are_qualified_without_signature) {
    EXPECT_EQ(qualified_function_name("void services::open_service(const std::wstring&)"), L"services::open_service");
    EXPECT_EQ(qualified_function_name("int wmain(int, wchar_t**)"), L"wmain");
    EXPECT_EQ(qualified_function_name("void last_error_translator::translate() const"),
              L"last_error_translator::translate");
    EXPECT_EQ(qualified_function_name("{anonymous}::file_handle::file_handle(HANDLE)"),
              L"{anonymous}::file_handle::file_handle");
    EXPECT_EQ(qualified_function_name(
                  "void local_memory_ptr<T>::deleter::operator()(T*) const [with T = wchar_t]"),
              L"local_memory_ptr<wchar_t>::deleter::operator()");
    EXPECT_EQ(qualified_function_name("std::vector<std::basic_string<wchar_t> > split(const std::wstring&)"),
              L"split");
    EXPECT_EQ(qualified_function_name("const std::wstring& get_agent_home()"), L"get_agent_home");
    EXPECT_EQ(qualified_function_name("get_running_exe_path()::<lambda(const wchar_t*)>"),
              L"get_running_exe_path::<lambda>");
    // clang's spellings.
    EXPECT_EQ(qualified_function_name("void (anonymous namespace)::fail_deep_inside()"),
              L"(anonymous namespace)::fail_deep_inside");
    EXPECT_EQ(qualified_function_name("void local_memory_ptr<wchar_t>::deleter::operator()(T *) const [T = wchar_t]"),
              L"local_memory_ptr<wchar_t>::deleter::operator()");
    EXPECT_EQ(qualified_function_name("const std::wstring &get_agent_home()"), L"get_agent_home");
    EXPECT_EQ(qualified_function_name("auto get_running_exe_path()::(anonymous class)::operator()(const wchar_t *) const"),
              L"get_running_exe_path::<lambda>");
}

TEST(logging, unnamed_namespace_prefix_is_dropped_in_every_spelling) {
    EXPECT_EQ(strip_anonymous_namespace(L"`anonymous-namespace'::create_guid"), L"create_guid");
    EXPECT_EQ(strip_anonymous_namespace(L"{anonymous}::create_guid"), L"create_guid");
    EXPECT_EQ(strip_anonymous_namespace(L"(anonymous namespace)::create_guid"), L"create_guid");
    // Exactly the prefix's length: nothing would remain, so the name stays as it is.
    EXPECT_EQ(strip_anonymous_namespace(L"`anonymous-namespace'::"), L"`anonymous-namespace'::");
    EXPECT_EQ(strip_anonymous_namespace(L"ns::`anonymous-namespace'::f"), L"ns::`anonymous-namespace'::f");
}

TEST(logging, file_names_lose_every_directory) {
    EXPECT_STREQ(base_file_name(L"/home/build/src/command_table.cpp"), L"command_table.cpp");
    EXPECT_STREQ(base_file_name(L"C:\\build\\src\\agent.h"), L"agent.h");
    EXPECT_STREQ(base_file_name(L"util.cpp"), L"util.cpp");
}

TEST(logging, call_site_macros_name_the_enclosing_function) {
    source_site site = AGENT_HERE;
    EXPECT_STREQ(site.file, L"logging_test.cpp");
    EXPECT_STREQ(site.function, L"logging_call_site_macros_name_the_enclosing_function_Test::TestBody");
}

TEST(stack_traces, resolve_once_and_print_identical_lines) {
    stack_trace trace;
    const auto& first = trace.frames();
    ASSERT_FALSE(first.empty());
    // The symbol's own name, with the unnamed namespace as the symbol file spells it.
    EXPECT_TRUE(first[0].function.ends_with(L"::stack_traces_resolve_once_and_print_identical_lines_Test::TestBody"))
        << to_string(first[0].function);
    EXPECT_EQ(first[0].file, L"logging_test.cpp");
    EXPECT_GT(first[0].line, 0u);
    const auto* data = first.data();
    EXPECT_EQ(trace.frames().data(), data);
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

TEST(stack_traces, frame_format_prints_displacement_without_prefix) {
    stack_frame frame{L"f", L"a.cpp", 0x401010, 0x401000, 0x10, 12};
    EXPECT_EQ(format_frame(frame), L"f(a.cpp:12) - 0x401010=0x401000+10");
    stack_frame unknown{L"<function>", L"<file>", 0x1234, 0x1234, 0, 0};
    EXPECT_EQ(format_frame(unknown), L"<function>(<file>:0) - 0x1234=0x1234+0");
}

}  // namespace
