// Loading of system libraries on first use.

#include "system_libraries.h"

#include "agent.h"
#include "fileio.h"

namespace {

HMODULE load_system_library(const wchar_t* library) {
    // The search flag also keeps the library's own dependencies to the system folder.
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr) return module;
    // Windows 7 and Server 2008 R2 know the LOAD_LIBRARY_SEARCH_* flags only with update KB2533623 and
    // refuse them with ERROR_INVALID_PARAMETER. The full path under the system folder names the same
    // file; with LOAD_WITH_ALTERED_SEARCH_PATH its dependencies are searched from that folder first.
    if (GetLastError() == ERROR_INVALID_PARAMETER) module = load_from_system_directory(library);
    if (module == nullptr) AGENT_THROW_LAST_ERROR(system_exception, L"LoadLibraryExW(" + std::wstring(library) + L")");
    return module;
}

}  // namespace

HMODULE load_from_system_directory(const wchar_t* library) {
    return LoadLibraryExW((get_system_directory() + L"\\" + library).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC get_system_procedure(const wchar_t* library, const char* name) {
    HMODULE module = load_system_library(library);
    FARPROC procedure = GetProcAddress(module, name);
    if (procedure == nullptr)
        AGENT_THROW_LAST_ERROR(system_exception, L"GetProcAddress(" + std::wstring(library) + L"!" + to_wstring(name) + L")");
    return procedure;
}
