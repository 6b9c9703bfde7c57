// Files, directories and paths.

#include "fileio.h"

#include "agent.h"

#include <shlwapi.h>

namespace {

void normalize_path(std::wstring& path) {
    if (path.empty()) return;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    std::wstring collapsed;
    collapsed.reserve(path.size());
    for (wchar_t c : path) {
        if (c == L'\\' && !collapsed.empty() && collapsed.back() == L'\\') continue;
        collapsed.push_back(c);
    }
    path = std::move(collapsed);
}

}  // namespace

std::wstring canonicalize_path(const std::wstring& path) {
    std::wstring buffer(0x8000, L'\0');
    if (!PathCanonicalizeW(buffer.data(), path.c_str()))
        throw system_exception(AGENT_HERE, L"PathCanonicalizeW", GetLastError());
    buffer.resize(wcslen(buffer.c_str()));
    normalize_path(buffer);
    return buffer;
}

std::wstring parent_directory(const std::wstring& path) { return canonicalize_path(path + L"\\.."); }

std::wstring file_name_of(const std::wstring& path) {
    auto last = path.rfind(L'\\');
    return last == std::wstring::npos ? path : path.substr(last + 1);
}
