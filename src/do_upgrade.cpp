// The self-upgrade relay.

#include <cerrno>
#include <cwchar>
#include <cwctype>

#include "agent.h"
#include "environment.h"
#include "processes.h"
#include "system_handles.h"
#include "upgrade_handover.h"

HANDLE convert_string_to_system_handle(const std::wstring& text) {
    // wcstoul alone would take a sign ("-1" is the current-process pseudo-handle), text without
    // digits (0) and trailing junk; waiting on such a value waits forever on ourselves or fails
    // obscurely. Only plain decimal digits naming a real handle are accepted.
    std::size_t first = 0;
    while (first < text.size() && std::iswspace(text[first])) ++first;
    bool digits_only = first < text.size();
    for (std::size_t i = first; i < text.size(); ++i) digits_only = digits_only && text[i] >= L'0' && text[i] <= L'9';
    if (!digits_only) throw bad_handle_string(AGENT_HERE, L"wcstoul", text, EINVAL);
    errno = 0;
    unsigned long value = std::wcstoul(text.c_str(), nullptr, 10);
    if (errno != 0) throw bad_handle_string(AGENT_HERE, L"wcstoul", text, errno);
    // 0 is no handle; 0xFFFFFFFA to 0xFFFFFFFF are pseudo-handles of this very process and thread.
    if (value == 0 || value >= 0xFFFFFFFAul) throw bad_handle_string(AGENT_HERE, L"wcstoul", text, EINVAL);
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

bool wait_for_upgrade_parent_termination() {
    std::wstring text = get_environment_variable(L"UPGRADE_PARENT_HANDLE", L"");
    if (text.empty()) return false;
    // Nothing this process starts may inherit the variable.
    if (!SetEnvironmentVariableW(L"UPGRADE_PARENT_HANDLE", nullptr)) throw_last_error(L"SetEnvironmentVariableW");
    LOG_DEBUG(L"Read parent handle: handle=[%s]", text);
    shared_handle parent(convert_string_to_system_handle(text));
    LOG_DEBUG(L"Waiting for parent termination: parent_pid=[%u]", static_cast<unsigned>(get_process_id(parent)));
    wait_for_single_handle(parent, INFINITE);
    LOG_INFO(L"Parent exited: status=%u", static_cast<unsigned>(get_exit_code(parent)));
    return true;
}
