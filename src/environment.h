#pragma once
// Access to the process environment; every other unit goes through these.

#include <string>
#include <vector>

std::wstring get_environment_variable(const std::wstring& name, const std::wstring& default_value);
void set_environment_variable(const std::wstring& name, const std::wstring& value);
bool is_environment_variable_true(const std::wstring& name);
// NAME=value entries in system order, without the per-drive "=X:" entries.
std::vector<std::wstring> get_environment_strings();
// This process's entries with `entries` (NAME=value) added, each replacing a variable of the same
// name in any letter case: the environment list of a child that gets a few variables of its own. A
// block that names a variable twice hands the child whichever copy it finds first, hence replacing.
std::vector<std::wstring> environment_with(const std::vector<std::wstring>& entries);
// Whether the ";"-separated list `path` (a PATH value) holds `directory` as one of its entries, letter
// case and a trailing backslash aside.
bool path_list_contains(const std::wstring& path, const std::wstring& directory);
// The entries sorted by name as Windows keeps a block (case-insensitive, ordinal), each NUL-terminated,
// then one more NUL: the form CreateProcessW and SetEnvironmentStringsW are to be given.
std::wstring make_environment_block(const std::vector<std::wstring>& variables);
