// The self-upgrade relay.

#include <cerrno>
#include <cwchar>
#include <cwctype>

#include <vector>

#include "agent.h"
#include "agent_home.h"
#include "commands.h"
#include "configuration.h"
#include "environment.h"
#include "fileio.h"
#include "javainterop.h"
#include "process_ancestry.h"
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
    // 0 is no handle; 0xFFFFFFFA to 0xFFFFFFFF are pseudo-handles of this very process and thread
    // (-6 to -1; in a 64-bit process their 64-bit spellings do not fit in 32 bits and end above).
    // Kernel handles fit in 32 bits in both bitnesses.
    if (value == 0 || value >= 0xFFFFFFFAul) throw bad_handle_string(AGENT_HERE, L"wcstoul", text, EINVAL);
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

bool wait_for_upgrade_parent_termination() {
    std::wstring text = get_environment_variable(L"UPGRADE_PARENT_HANDLE", L"");
    if (text.empty()) return false;
    // Nothing this process starts may inherit the variable.
    if (!SetEnvironmentVariableW(L"UPGRADE_PARENT_HANDLE", nullptr)) throw_last_error(L"SetEnvironmentVariableW");
    LOG_DEBUG(L"Read parent handle: handle=[%s]", text);
    HANDLE value = convert_string_to_system_handle(text);
    // A value that names no process is no predecessor. It may name another of this process's own
    // handles (its standard error among them), which must be neither waited on nor closed.
    if (GetProcessId(value) == 0) throw_last_error(L"GetProcessId");
    shared_handle parent(value);
    LOG_DEBUG(L"Waiting for parent termination: parent_pid=[%u]", static_cast<unsigned>(get_process_id(parent)));
    wait_for_single_handle(parent, INFINITE);
    LOG_INFO(L"Parent exited: status=%u", static_cast<unsigned>(get_exit_code(parent)));
    return true;
}

void finish_upgrade_handover() {
    if (!wait_for_upgrade_parent_termination()) return;
    // Files already gone are what is wanted; nothing to report either way.
    DeleteFileW(get_var_exe_path().c_str());
    DeleteFileW(get_var_symbol_file_path().c_str());
}

// ---- the relay's sending side -------------------------------------------------------------------

namespace {

constexpr wchar_t parent_handle_variable[] = L"UPGRADE_PARENT_HANDLE";
constexpr wchar_t agent_home_variable[] = L"UPGRADE_SET_AGENT_HOME";
constexpr wchar_t java_opts_variable[] = L"UPGRADE_JAVA_OPTS";

std::wstring parent_handle_entry(const shared_handle& self) {
    return std::wstring(parent_handle_variable) + L"=" +
           format_text(L"%u", reinterpret_cast<std::uintptr_t>(self.get()));
}

void remove_environment_variable(const wchar_t* name) {
    if (SetEnvironmentVariableW(name, nullptr)) return;
    DWORD error = GetLastError();
    // Some systems answer the removal of an absent variable with this code: it is gone all the same.
    if (error == ERROR_ENVVAR_NOT_FOUND) return;
    last_error_translator(L"SetEnvironmentVariableW", error).translate();
}

}  // namespace

void do_upgrade(int argc, wchar_t** argv) {
    if (argc < 1) LOG_AND_EXIT(L"ERROR", false, L"Argument missing: mode");
    // The copy in var runs the upgrader, so that the installed executable is free to be replaced. Its
    // stack traces resolve through the symbol file beside it; without one they only name no functions.
    copy_file(get_agent_exe_path(), get_var_exe_path());
    if (is_path_a_file(get_agent_symbol_file_path())) copy_file(get_agent_symbol_file_path(), get_var_symbol_file_path());
    std::vector<std::wstring> arguments{L"_upgrade_continue"};
    arguments.insert(arguments.end(), argv, argv + argc);
    std::wstring command_line = build_command_line(get_var_exe_path(), arguments);
    shared_handle self = get_current_process_handle(true);
    std::vector<std::wstring> environment = environment_with(
        {std::wstring(agent_home_variable) + L"=" + get_agent_home(), parent_handle_entry(self)});
    LOG_INFO(L"Waiting for parent to terminate...");
    // A parent that is already gone, or that may not be opened, does not hold the upgrade up.
    wait_for_parent_exit(INFINITE);
    LOG_INFO(L"Re-executing to continue upgrade...");
    create_process(command_line, environment, {self}, L"", false);
}

void do_upgrade_continue(int argc, wchar_t** argv) {
    if (argc < 1) LOG_AND_EXIT(L"ERROR", false, L"Argument missing: mode");
    LOG_INFO(L"Resuming upgrade. Waiting for parent to exit...");
    LOG_DEBUG(L"exe=[%s]", get_running_exe_path());
    LOG_DEBUG(L"canon_exe=[%s]", get_agent_exe_path());
    LOG_DEBUG(L"agent_home=[%s]", get_agent_home());
    wait_for_upgrade_parent_termination();
    try {
        set_current_directory(get_agent_home());
        std::wstring java_exe = get_java_exe(load_java_home());
        std::wstring extra_options = get_environment_variable(java_opts_variable, L"");
        const std::wstring& jar = get_upgrader_jar_path();
        // The extra options are inserted verbatim: the variable may carry several of them.
        std::wstring command_line = quote_argument(java_exe) + L" " + extra_options + L" -jar " + quote_argument(jar) +
                                    L" " + quote_argument(jar);
        // Shown as the upgrader reads them, each option quoted as needed, secret values masked.
        std::wstring shown_options;
        for (const std::wstring& option : split_arguments(extra_options))
            shown_options += (shown_options.empty() ? L"" : L" ") + quote_argument(redact_secret_option(option));
        LOG_INFO(L"Executing upgrader: %s %s -jar %s %s", quote_argument(java_exe), shown_options, quote_argument(jar),
                 quote_argument(jar));
        LOG_INFO(L"Upgrade log: %s", get_upgrade_log_path());
        shared_handle upgrader = create_process(command_line, {}, {}, get_upgrade_log_path(), false);
        wait_for_single_handle(upgrader, INFINITE);
        if (!DeleteFileW(jar.c_str())) {
            DWORD error = GetLastError();
            last_error_translator failure(L"DeleteFileW", error);
            failure.path = jar;
            failure.translate();
        }
        LOG_INFO(L"Upgrader exited: status=%u", static_cast<unsigned>(get_exit_code(upgrader)));
        restart_after_upgrade(argc, argv);
    } catch (...) {
        LOG_INFO(L"Upgrade failed with an exception - attempting to restart agent.");
        try {
            restart_after_upgrade(argc, argv);
        } catch (const application_exception& e) {
            LOG_EXCEPTION(L"ERROR", e, L"Exception attempting to restart service after failure:\n  %s", e.message());
        } catch (const std::exception& e) {
            LOG_ERROR(L"Exception attempting to restart service after failure:\n  %s", to_wstring(e.what()));
        } catch (...) {
            LOG_ERROR(L"Unknown exception attempting to restart service after failure.");
        }
        // The failure of the upgrade, not that of the restart attempt, is what ends the process.
        throw;
    }
}

void restart_after_upgrade(int argc, wchar_t** argv) {
    // Composed first: run from the copy in var, the installed executable is found only through
    // UPGRADE_SET_AGENT_HOME, which goes next.
    std::wstring command_line =
        build_command_line(get_agent_exe_path(), std::vector<std::wstring>(argv, argv + argc));
    // The restarted agent must not believe it runs inside an upgrade.
    remove_environment_variable(agent_home_variable);
    remove_environment_variable(java_opts_variable);
    shared_handle self = get_current_process_handle(true);
    std::vector<std::wstring> environment = environment_with({parent_handle_entry(self)});
    create_process(command_line, environment, {self}, L"", false);
}
