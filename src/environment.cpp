// Environment variables through the Windows API, failures as exceptions.

#include "environment.h"

#include "agent.h"

std::wstring get_environment_variable(const std::wstring& name, const std::wstring& default_value) {
    std::wstring buffer(32, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD result = GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (result == 0) {
            DWORD error = GetLastError();
            if (error == ERROR_ENVVAR_NOT_FOUND) return default_value;
            // A variable that is set but empty answers 0 with no error at all: its value is empty.
            if (error == ERROR_SUCCESS) return std::wstring();
            last_error_translator(L"GetEnvironmentVariableW", error).translate();
        }
        if (result <= buffer.size()) {
            buffer.resize(result);
            return buffer;
        }
        // The value did not fit: the result is the room it needs, terminating NUL included.
        buffer.assign(result, L'\0');
    }
}

void set_environment_variable(const std::wstring& name, const std::wstring& value) {
    if (!SetEnvironmentVariableW(name.c_str(), value.c_str())) throw_last_error(L"SetEnvironmentVariableW");
}

bool is_environment_variable_true(const std::wstring& name) {
    std::wstring value = get_environment_variable(name, L"");
    trim(value);
    return equals_ignore_case(value, L"true");
}

std::vector<std::wstring> get_environment_strings() {
    struct block_owner {
        wchar_t* block;
        ~block_owner() { FreeEnvironmentStringsW(block); }
    };
    wchar_t* block = GetEnvironmentStringsW();
    if (block == nullptr) throw_last_error(L"GetEnvironmentStringsW");
    block_owner owner{block};
    std::vector<std::wstring> variables;
    for (const wchar_t* entry = block; *entry != L'\0';) {
        std::wstring text(entry);
        entry += text.size() + 1;
        if (text[0] != L'=') variables.push_back(std::move(text));
    }
    return variables;
}

std::vector<std::wstring> environment_with(const std::vector<std::wstring>& entries) {
    auto name_of = [](const std::wstring& entry) { return entry.substr(0, entry.find(L'=')); };
    std::vector<std::wstring> result;
    for (std::wstring& current : get_environment_strings()) {
        bool replaced = false;
        for (const std::wstring& entry : entries)
            replaced = replaced || equals_ignore_case(name_of(current), name_of(entry));
        if (!replaced) result.push_back(std::move(current));
    }
    result.insert(result.end(), entries.begin(), entries.end());
    return result;
}

std::wstring make_environment_block(const std::vector<std::wstring>& variables) {
    std::wstring block;
    for (const std::wstring& entry : variables) {
        block += entry;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}
