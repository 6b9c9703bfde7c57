#pragma once
// The program's door to the Windows service control manager, and this installation's service name.

#include <string>

// The fixed first part of every installation's service name.
inline constexpr wchar_t service_base_name[] = L"olvar-tesk-agent";

// service_base_name, a hyphen and the first 32 lower-case hexadecimal digits of the SHA-256 of the
// agent home's UTF-16LE text with A-Z lower-cased: every home gets its own service, and homes that
// differ only in letter case (one directory to Windows) get the same one. Computed once.
const std::wstring& get_service_name();
