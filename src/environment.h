#pragma once
// Access to the process environment; every other unit goes through these.

#include <string>
#include <vector>

std::wstring get_environment_variable(const std::wstring& name, const std::wstring& default_value);
void set_environment_variable(const std::wstring& name, const std::wstring& value);
bool is_environment_variable_true(const std::wstring& name);
// NAME=value entries in system order, without the per-drive "=X:" entries.
std::vector<std::wstring> get_environment_strings();
// Each entry NUL-terminated, then one more NUL.
std::wstring make_environment_block(const std::vector<std::wstring>& variables);
