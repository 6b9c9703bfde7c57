// Loading of system libraries on first use.

#include "system_libraries.h"

#include "agent.h"

FARPROC get_system_procedure(const wchar_t* library, const char* name) {
    // The search flag also keeps the library's own dependencies to the system folder.
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) AGENT_THROW_LAST_ERROR(system_exception, L"LoadLibraryExW");
    FARPROC procedure = GetProcAddress(module, name);
    if (procedure == nullptr) AGENT_THROW_LAST_ERROR(system_exception, L"GetProcAddress");
    return procedure;
}
