#pragma once
// What this executable is: the texts of the version banner, and the banner itself.

#include <string>

// "Olvar Tesk Agent"; also the base of the registered service display name.
const std::wstring& get_product_name();
// An 8-character build identifier fixed when the program was built.
const std::wstring& get_build_life_id();
// The 40 hexadecimal digits of the source revision the program was built from (zeros when unknown).
const std::wstring& get_git_rev_id();
// SHA-256 of the running executable file as stored, 64 lower-case hexadecimal digits.
const std::wstring& get_exe_hash();

// The handler of the empty command word: banner and usage on stderr, then exit code 1.
[[noreturn]] void print_version_and_usage(int argc, wchar_t** argv);
