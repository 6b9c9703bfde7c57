// Loading of system libraries on first use.

#include "system_libraries.h"

#include "agent.h"

FARPROC get_system_procedure(const wchar_t* library, const char* name) {
    // The search flag also keeps the library's own dependencies to the system folder.
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        DWORD error = GetLastError();
        throw system_exception(AGENT_HERE, L"LoadLibraryExW", error);
    }
    FARPROC procedure = GetProcAddress(module, name);
    if (procedure == nullptr) {
        DWORD error = GetLastError();
        throw system_exception(AGENT_HERE, L"GetProcAddress", error);
    }
    return procedure;
}
