// Environment variables through the Windows API, failures as exceptions.

#include "environment.h"

#include <algorithm>
#include <string_view>

#include "agent.h"

namespace {

// A variable's name: the text before the first "=" after its first character, so that a per-drive
// entry ("=C:=C:\dir") is named "=C:".
std::wstring_view name_of(const std::wstring& entry) {
    return std::wstring_view(entry).substr(0, entry.find(L'=', 1));
}

// "Changing Environment Variables": the strings of an environment block are sorted by name,
// case-insensitive, in Unicode order, without regard to locale; CompareStringOrdinal with bIgnoreCase
// is that comparison. Windows' own functions rely on the order when they set or delete a variable,
// and they match a name by the same rule, as file systems match file names.
int compare_ignoring_case(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) -
           CSTR_EQUAL;
}

// A directory as PATH may name it: the same without its trailing backslashes.
std::wstring_view without_trailing_backslashes(std::wstring_view directory) {
    while (directory.size() > 1 && directory.back() == L'\\') directory.remove_suffix(1);
    return directory;
}

}  // namespace

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
    std::vector<std::wstring> result;
    for (std::wstring& current : get_environment_strings()) {
        bool replaced = std::any_of(entries.begin(), entries.end(), [&](const std::wstring& entry) {
            return compare_ignoring_case(name_of(current), name_of(entry)) == 0;
        });
        if (!replaced) result.push_back(std::move(current));
    }
    result.insert(result.end(), entries.begin(), entries.end());
    return result;
}

bool path_list_contains(const std::wstring& path, const std::wstring& directory) {
    std::wstring_view wanted = without_trailing_backslashes(directory);
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = std::min(path.find(L';', start), path.size());
        std::wstring_view entry = without_trailing_backslashes(std::wstring_view(path).substr(start, end - start));
        if (compare_ignoring_case(entry, wanted) == 0) return true;
        start = end + 1;
    }
    return false;
}

std::wstring make_environment_block(const std::vector<std::wstring>& variables) {
    std::vector<std::wstring> sorted = variables;
    std::stable_sort(sorted.begin(), sorted.end(), [](const std::wstring& a, const std::wstring& b) {
        return compare_ignoring_case(name_of(a), name_of(b)) < 0;
    });
    std::wstring block;
    for (const std::wstring& entry : sorted) {
        block += entry;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}
