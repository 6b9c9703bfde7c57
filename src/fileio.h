#pragma once
// The program's file-system vocabulary.

#include <string>

// Canonical form: no "." or ".." parts, backslashes only, no trailing or doubled backslashes.
std::wstring canonicalize_path(const std::wstring& path);
std::wstring parent_directory(const std::wstring& path);
// The text after the last backslash, or the whole text.
std::wstring file_name_of(const std::wstring& path);
