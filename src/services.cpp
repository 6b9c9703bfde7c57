// Service control manager access and the service name of this installation.

#include "services.h"

#include "agent.h"
#include "agent_home.h"
#include "sha256.h"

namespace {

// Only A-Z fold: a locale-dependent mapping would give one home different names on different
// machines, and the name is the key under which the service stays registered.
std::wstring fold_ascii_letters(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

std::wstring make_service_name() {
    const std::wstring& exe_path = get_agent_exe_path();
    if (exe_path.find(L'\\') == std::wstring::npos)
        LOG_FATAL_AND_EXIT(L"Invalid module: no directory: path=[%s]", exe_path);
    // wchar_t is UTF-16LE on Windows, so the string's own bytes are the hashed text.
    std::wstring home = fold_ascii_letters(get_agent_home());
    hasher digest;
    digest.update(home.data(), static_cast<std::uint32_t>(home.size() * sizeof(wchar_t)));
    return std::wstring(service_base_name) + L"-" + to_hex(digest.finish()).substr(0, 32);
}

}  // namespace

const std::wstring& get_service_name() {
    static const std::wstring* const name = new std::wstring(make_service_name());
    return *name;
}
