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
        std::wstring shown = redact_secret_argument(arguments.values[i]);
        // The first argument of "_testjvm" (also when "_restart" runs it) is its handshake secret.
        if (i > 0 && equals_ignore_case(arguments.values[i - 1], L"_testjvm")) shown = redact_secret(shown);
        LOG_DEBUG(L"  [%d]=%s", i, shown);
    }
}

std::wstring redact_secret(const std::wstring& secret) { return secret.empty() ? secret : L"********"; }

std::wstring redact_secret_argument(const std::wstring& argument) {
    static const std::wstring option = L"--password";
    if (argument.size() <= option.size() || !equals_ignore_case(argument.substr(0, option.size()), option))
        return argument;
    wchar_t separator = argument[option.size()];
    if (separator != L'=' && separator != L':') return argument;
    return argument.substr(0, option.size() + 1) + redact_secret(argument.substr(option.size() + 1));
}

std::wstring redact_secret_option(const std::wstring& option) {
    static const std::wstring secret_option = L"-Dtestjvm.secret=";
    if (option.compare(0, secret_option.size(), secret_option) != 0) return option;
    return secret_option + redact_secret(option.substr(secret_option.size()));
}
