// Text conversions, trimming, command-line splitting and the start-up record.

#include "agent.h"

#include <shellapi.h>

#include "agent_home.h"
#include "system_libraries.h"

namespace {

struct program_arguments {
    int count = 0;
    wchar_t** values = nullptr;
};

program_arguments& stored_arguments() {
    static program_arguments arguments;
    return arguments;
}

// The classic locale's white space: blank, tab, line feed, vertical tab, form feed, carriage return.
bool is_classic_space(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

wchar_t fold_ascii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

}  // namespace

std::string to_string(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = static_cast<int>(text.size());
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    if (size == 0 || WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), size, nullptr, nullptr) == 0)
        AGENT_THROW_LAST_ERROR(system_exception, L"WideCharToMultiByte");
    return result;
}

std::wstring to_wstring(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = static_cast<int>(text.size());
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    if (size == 0 || MultiByteToWideChar(CP_UTF8, 0, text.data(), length, result.data(), size) == 0)
        AGENT_THROW_LAST_ERROR(system_exception, L"MultiByteToWideChar");
    return result;
}

void trim(std::wstring& text) {
    std::size_t begin = 0;
    while (begin < text.size() && is_classic_space(text[begin])) ++begin;
    text.erase(0, begin);
    std::size_t end = text.size();
    while (end > 0 && is_classic_space(text[end - 1])) --end;
    text.erase(end);
}

bool equals_ignore_case(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold_ascii(a[i]) != fold_ascii(b[i])) return false;
    }
    return true;
}

std::vector<std::wstring> split_command_line(const std::wstring& command_line) {
    // Splitting is needed for -debug and for the replacement of an older service only.
    static const auto split = SYSTEM_PROCEDURE(L"shell32.dll", CommandLineToArgvW);
    int count = 0;
    wchar_t** arguments = split(command_line.c_str(), &count);
    if (arguments == nullptr) throw_last_error(L"CommandLineToArgvW");
    local_memory_ptr<wchar_t*> owner(arguments);
    return std::vector<std::wstring>(arguments, arguments + count);
}

std::vector<std::wstring> split_arguments(const std::wstring& text) {
    // The first word of a command line is read by the rules of a program path: a placeholder takes it.
    std::vector<std::wstring> arguments = split_command_line(L"program " + text);
    arguments.erase(arguments.begin());
    return arguments;
}

void set_program_arguments(int argc, wchar_t** argv) {
    stored_arguments() = program_arguments{argc, argv};
}

void log_app_startup() {
    if (!is_debug_enabled()) return;
    LOG_DEBUG(L"pid=[%u]", static_cast<unsigned>(GetProcessId(GetCurrentProcess())));
    LOG_DEBUG(L"agent_home=[%s]", get_agent_home());
    const program_arguments& arguments = stored_arguments();
    LOG_DEBUG(L"argc=%d argv=", arguments.count);
    for (int i = 0; i < arguments.count; ++i) {
        const wchar_t* previous = i > 0 ? arguments.values[i - 1] : nullptr;
        std::wstring shown = redact_secret_argument(arguments.values[i], previous);
        // The first argument of "_testjvm" (also when "_restart" runs it) is its handshake secret.
        if (previous != nullptr && equals_ignore_case(previous, L"_testjvm")) shown = redact_secret(shown);
        LOG_DEBUG(L"  [%d]=%s", i, shown);
    }
}

std::wstring redact_secret(const std::wstring& secret) { return secret.empty() ? secret : L"********"; }

namespace {

// The length of "--password" (any letter case) and its separator ("=", ":" or none) at the start of
// `argument`, or 0 when it is no password option.
std::size_t password_option_length(const std::wstring& argument) {
    static const std::wstring option = L"--password";
    if (argument.size() < option.size() || !equals_ignore_case(argument.substr(0, option.size()), option)) return 0;
    if (argument.size() == option.size()) return option.size();
    wchar_t separator = argument[option.size()];
    return separator == L'=' || separator == L':' ? option.size() + 1 : 0;
}

}  // namespace

std::wstring redact_secret_argument(const std::wstring& argument, const wchar_t* previous) {
    if (previous != nullptr) {
        std::size_t length = password_option_length(previous);
        if (length != 0 && previous[length] == L'\0') return redact_secret(argument);
    }
    std::size_t length = password_option_length(argument);
    return length == 0 ? argument : argument.substr(0, length) + redact_secret(argument.substr(length));
}

std::wstring redact_secret_option(const std::wstring& option) {
    std::size_t equals = option.find(L'=');
    if (!option.starts_with(L"-D") || equals == std::wstring::npos) return option;
    std::wstring name = option.substr(2, equals - 2);
    for (std::wstring suffix : {L"password", L"passwd", L"secret", L"token"}) {
        if (name.size() >= suffix.size() && equals_ignore_case(name.substr(name.size() - suffix.size()), suffix))
            return option.substr(0, equals + 1) + redact_secret(option.substr(equals + 1));
    }
    return option;
}
