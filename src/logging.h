#pragma once
// The program's one logger: "LEVEL function(file:line): text" lines on stderr.

#include <cstdio>
#include <string>

#include <fmt/printf.h>
#include <fmt/xchar.h>

class application_exception;

// Where a log line or an exception comes from. The texts live for the whole process.
struct source_site {
    const wchar_t* file;
    int line;
    const wchar_t* function;
};

// GCC's __PRETTY_FUNCTION__ carries return type, parameters and template bindings; logs and
// exceptions show the qualified name only ("services::open", "local_memory_ptr<wchar_t>::reset").
std::wstring qualified_function_name(const char* pretty_function);

// Drops the unnamed-namespace prefix in the spellings of MSVC, GCC and clang.
std::wstring strip_anonymous_namespace(const std::wstring& function);

// Bare file name of a compiler-supplied path, with either kind of separator.
const wchar_t* base_file_name(const wchar_t* path);

// Computed once per call site; the text is deliberately never freed so that a line logged
// while the process exits still finds it.
#define AGENT_FUNC                                                                         \
    ([](const char* pretty) -> const wchar_t* {                                            \
        static const wchar_t* const name =                                                 \
            (new std::wstring(::strip_anonymous_namespace(::qualified_function_name(pretty))))->c_str(); \
        return name;                                                                       \
    }(__PRETTY_FUNCTION__))
#define AGENT_FILE (L"" __FILE_NAME__)
#define AGENT_HERE (::source_site{AGENT_FILE, __LINE__, AGENT_FUNC})

bool is_debug_enabled();
bool is_trace_enabled();

void log_message(const wchar_t* level, bool with_trace, const application_exception* exception, const wchar_t* file,
                 int line, const wchar_t* function, const std::wstring& text);
[[noreturn]] void log_fatal_and_exit(const wchar_t* function, const wchar_t* file, int line, const std::wstring& text);
[[noreturn]] void log_and_exit(const wchar_t* level, bool with_trace, const wchar_t* file, int line,
                               const wchar_t* function, const std::wstring& text);

// Flushes the standard streams and ends the process.
[[noreturn]] void exit_process(int code);
// A function that exit_process calls once, on whichever thread ends the process, before it ends it
// with a code other than 0; null for none. The service host reports a failed start with it.
void set_failure_exit_hook(void (*hook)(int code));

// printf-style formatting of every message text. The formatting itself is one function for all call
// sites, which only pack their arguments: compiled once, not once per call site's argument types.
std::wstring vformat_text(fmt::wstring_view format, fmt::wprintf_args arguments);

template <typename... Args>
std::wstring format_text(const wchar_t* format, const Args&... args) {
    return vformat_text(format, fmt::make_wprintf_args(args...));
}

#define AGENT_LOG(level, ...) \
    ::log_message(level, false, nullptr, AGENT_FILE, __LINE__, AGENT_FUNC, ::format_text(__VA_ARGS__))
#define LOG_TRACE(...)                                    \
    do {                                                  \
        if (::is_trace_enabled()) AGENT_LOG(L"TRACE", __VA_ARGS__); \
    } while (0)
#define LOG_DEBUG(...)                                    \
    do {                                                  \
        if (::is_debug_enabled()) AGENT_LOG(L"DEBUG", __VA_ARGS__); \
    } while (0)
#define LOG_INFO(...) AGENT_LOG(L"INFO ", __VA_ARGS__)
#define LOG_WARN(...) AGENT_LOG(L"WARN ", __VA_ARGS__)
#define LOG_ERROR(...) AGENT_LOG(L"ERROR", __VA_ARGS__)
// A line that carries an exception is followed by the exception's own stack trace.
#define LOG_EXCEPTION(level, exception, ...) \
    ::log_message(level, false, &(exception), AGENT_FILE, __LINE__, AGENT_FUNC, ::format_text(__VA_ARGS__))
#define LOG_FATAL_AND_EXIT(...) ::log_fatal_and_exit(AGENT_FUNC, AGENT_FILE, __LINE__, ::format_text(__VA_ARGS__))
#define LOG_AND_EXIT(level, with_trace, ...) \
    ::log_and_exit(level, with_trace, AGENT_FILE, __LINE__, AGENT_FUNC, ::format_text(__VA_ARGS__))
