// The agent home: found from the executable's own place, or given by an upgrade.

#include "agent_home.h"

#include "agent.h"
#include "environment.h"
#include "fileio.h"

const std::wstring& get_running_exe_path() {
    // Leaked on purpose: a log line written while the process exits may still ask for it.
    static const std::wstring* const path = [] {
        std::wstring buffer(261, L'\0');
        for (;;) {
            DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
            if (length == 0) throw system_exception(AGENT_HERE, L"GetModuleFileNameW", GetLastError());
            // A result that fills the buffer may have been cut short.
            if (length < buffer.size()) {
                buffer.resize(length);
                return new std::wstring(std::move(buffer));
            }
            buffer.assign(buffer.size() * 2, L'\0');
        }
    }();
    return *path;
}

const std::wstring& get_agent_home() {
    static const std::wstring* const home = [] {
        std::wstring upgrade_home = get_environment_variable(L"UPGRADE_SET_AGENT_HOME", L"");
        if (!upgrade_home.empty()) return new std::wstring(canonicalize_path(upgrade_home));
        return new std::wstring(parent_directory(parent_directory(get_running_exe_path())));
    }();
    return *home;
}
