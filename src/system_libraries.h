#pragma once
// Procedures of the system libraries that only some commands need, loaded on first use. Linked
// statically, SHELL32, SHLWAPI and OLE32 would come with USER32 and GDI32, and DbgHelp with more:
// costs in time and memory that every start would pay, and on Windows a GUI thread connection.

#include <windows.h>

// The procedure `name` of `library`, loaded from the system folder only (never from the program's own
// folder or the current directory). The library stays loaded for the life of the process. Failures
// are system errors naming the call and what it was for: "LoadLibraryExW(bcrypt.dll)",
// "GetProcAddress(dbghelp.dll!SymFromAddrW)".
FARPROC get_system_procedure(const wchar_t* library, const char* name);
// The loading where the system-folder search flag is refused: by full path under the system folder.
// Null, with the last error set, on failure.
HMODULE load_from_system_directory(const wchar_t* library);

template <typename Function>
Function system_procedure(const wchar_t* library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(get_system_procedure(library, name)));
}

// The procedure `function` of `library`, typed as the Windows headers declare it. The name appears
// only inside decltype, which does not use it: the executable gets no import of it.
#define SYSTEM_PROCEDURE(library, function) system_procedure<decltype(&function)>(library, #function)
