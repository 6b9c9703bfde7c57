// "_winenv": the raw environment block on standard output, for the loader in the parent process.

#include "agent.h"
#include "commands.h"
#include "system_handles.h"

void do_winenv(int, wchar_t**) {
    wchar_t* block = GetEnvironmentStringsW();
    if (block == nullptr) AGENT_THROW_LAST_ERROR(system_exception, L"GetEnvironmentStringsW");
    struct block_owner {
        wchar_t* block;
        ~block_owner() { FreeEnvironmentStringsW(block); }
    } owner{block};
    const wchar_t* end = block;
    while (*end != L'\0') end += wcslen(end) + 1;
    DWORD size = static_cast<DWORD>((end + 1 - block) * sizeof(wchar_t));
    write_all(make_unowned_handle(GetStdHandle(STD_OUTPUT_HANDLE)), block, size);
    LOG_DEBUG(L"Wrote %u bytes of environment", static_cast<unsigned>(size));
}
