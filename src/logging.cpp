// The logger: one fwprintf call per line on stderr, DEBUG/TRACE gated by QUENDA_SERVICE_LOGGING_LEVEL.

#include "logging.h"

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <string_view>

#include "agent.h"
#include "environment.h"

namespace {

// The gates are read once per process; later changes of the variable are not seen.
std::wstring logging_level() {
    std::wstring level = get_environment_variable(L"QUENDA_SERVICE_LOGGING_LEVEL", L"");
    trim(level);
    return level;
}

// Position of the "(" that opens the parameter list, searching back from the ")" at `close`.
std::string_view::size_type matching_open_paren(std::string_view text, std::string_view::size_type close) {
    int depth = 0;
    for (auto i = close + 1; i-- > 0;) {
        if (text[i] == ')') ++depth;
        else if (text[i] == '(' && --depth == 0) return i;
    }
    return std::string_view::npos;
}

}  // namespace

std::wstring qualified_function_name(const char* pretty_function) {
    std::string_view text(pretty_function);
    // Code inside a lambda is named after the enclosing function: "outer(args)::<lambda(args)>" (GCC),
    // "auto outer(args)::(anonymous class)::operator()(args) const" (clang).
    for (std::string_view marker : {std::string_view("::<lambda"), std::string_view("::(anonymous class)::")}) {
        if (auto lambda = text.find(marker); lambda != std::string_view::npos)
            return qualified_function_name(std::string(text.substr(0, lambda)).c_str()) + L"::<lambda>";
    }
    // Template bindings: "f(T) [with T = wchar_t]" (GCC), "f(T) [T = wchar_t]" (clang, which has
    // already put the arguments into the class names).
    std::string bound_arguments;
    auto with = text.find(" [with ");
    auto binding_start = with + 7;
    if (with == std::string_view::npos && !text.empty() && text.back() == ']') {
        with = text.rfind(" [");
        binding_start = with + 2;
    }
    if (with != std::string_view::npos) {
        std::string_view binding = text.substr(binding_start);
        if (!binding.empty() && binding.back() == ']') binding.remove_suffix(1);
        // Only a single "T = X" binding is substituted; several keep the parameter names.
        if (auto eq = binding.find(" = "); eq != std::string_view::npos && binding.find("; ") == std::string_view::npos)
            bound_arguments = std::string(binding.substr(0, eq)) + '\n' + std::string(binding.substr(eq + 3));
        text = text.substr(0, with);
    }
    // Drop trailing qualifiers (const, noexcept, &) up to the parameter list's ")".
    auto close = text.rfind(')');
    if (close != std::string_view::npos) {
        auto open = matching_open_paren(text, close);
        if (open != std::string_view::npos && open > 0) text = text.substr(0, open);
    }
    // The name starts after the last blank outside angle brackets and parentheses (the return type
    // stands before it; clang spells the unnamed namespace "(anonymous namespace)").
    std::string_view::size_type start = 0;
    int angle = 0;
    int paren = 0;
    for (std::string_view::size_type i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '<') ++angle;
        else if (c == '>' && angle > 0) --angle;
        else if (c == '(') ++paren;
        else if (c == ')' && paren > 0) --paren;
        else if (c == ' ' && angle == 0 && paren == 0) {
            // "operator ()" and "operator new" keep their blank.
            if (i >= 8 && text.substr(i - 8, 8) == "operator") continue;
            start = i + 1;
        }
    }
    std::string name(text.substr(start));
    while (!name.empty() && (name.front() == '*' || name.front() == '&')) name.erase(0, 1);
    if (!bound_arguments.empty()) {
        auto nl = bound_arguments.find('\n');
        std::string parameter = "<" + bound_arguments.substr(0, nl) + ">";
        std::string argument = "<" + bound_arguments.substr(nl + 1) + ">";
        for (auto at = name.find(parameter); at != std::string::npos; at = name.find(parameter, at + argument.size()))
            name.replace(at, parameter.size(), argument);
    }
    return std::wstring(name.begin(), name.end());
}

std::wstring vformat_text(fmt::wstring_view format, fmt::wprintf_args arguments) {
    return fmt::vsprintf(format, arguments);
}

std::wstring strip_anonymous_namespace(const std::wstring& function) {
    std::wstring_view name(function);
    for (std::wstring_view prefix : {std::wstring_view(L"`anonymous-namespace'::"), std::wstring_view(L"{anonymous}::"),
                                     std::wstring_view(L"(anonymous namespace)::")}) {
        if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix)
            return std::wstring(name.substr(prefix.size()));
    }
    return function;
}

const wchar_t* base_file_name(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/') name = p + 1;
    }
    return name;
}

bool is_trace_enabled() {
    static const bool enabled = equals_ignore_case(logging_level(), L"trace");
    return enabled;
}

bool is_debug_enabled() {
    static const bool enabled = equals_ignore_case(logging_level(), L"debug") || is_trace_enabled();
    return enabled;
}

[[gnu::noinline]] void log_message(const wchar_t* level, bool with_trace, const application_exception* exception, const wchar_t* file,
                 int line, const wchar_t* function, const std::wstring& text) {
    std::wstring name = strip_anonymous_namespace(function);
    fwprintf(stderr, L"%ls %ls(%ls:%d): %ls\n", level, name.c_str(), base_file_name(file), line, text.c_str());
    if (exception != nullptr) {
        exception->print_stack_trace(stderr);
    } else if (with_trace) {
        stack_trace().print(stderr);
    }
    // Standard error is buffered when it is a file or a pipe: a record must reach it now, not when
    // the process ends, since a process may wait for a long time after logging, or be ended from outside.
    std::fflush(stderr);
}

namespace {

std::atomic<void (*)(int)> failure_exit_hook{nullptr};

}  // namespace

void set_failure_exit_hook(void (*hook)(int code)) { failure_exit_hook.store(hook); }

void exit_process(int code) {
    if (code != 0) {
        if (auto hook = failure_exit_hook.exchange(nullptr)) hook(code);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(code);
}

void log_fatal_and_exit(const wchar_t* function, const wchar_t* file, int line, const std::wstring& text) {
    log_message(L"FATAL", true, nullptr, file, line, function, text);
    exit_process(1);
}

void log_and_exit(const wchar_t* level, bool with_trace, const wchar_t* file, int line, const wchar_t* function,
                  const std::wstring& text) {
    log_message(level, with_trace, nullptr, file, line, function, text);
    exit_process(1);
}
