// Replacement of an older generation's service of this agent home by this program's own service.

#include "service_replacement_operation.h"

#include "access_checks.h"
#include "agent.h"
#include "agent_home.h"
#include "fileio.h"
#include "process_ancestry.h"
#include "system_handles.h"

namespace {

// Where the older generation keeps each service's settings.
constexpr wchar_t old_settings_key[] = L"SOFTWARE\\Brindle\\Tolbin3\\";

constexpr DWORD enumeration_rights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE;
constexpr DWORD mutation_rights = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
constexpr DWORD deletion_rights = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG;

const std::wstring& home_prefix() {
    static const std::wstring* const prefix = new std::wstring(path_under(get_agent_home(), L""));
    return *prefix;
}

bool starts_with_ignore_case(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && equals_ignore_case(text.substr(0, prefix.size()), prefix);
}

// The files the replacement touches; an answer of false leaves the decision open.
bool installation_files_accessible() {
    return can_delete_directory_tree(get_monitor_dir()) && can_delete_file(get_classpath_conf_path()) &&
           can_delete_file(get_worker_args_conf_path()) && can_add_file(get_conf_agent_dir());
}

}  // namespace

std::int32_t service_replacement_operation::status() {
    if (status_ == replacement_undecided) prepare_for_replacement();
    return status_;
}

void service_replacement_operation::prepare_for_replacement() {
    service_handle_ptr enumeration;
    try {
        enumeration = open_service_manager(enumeration_rights);
    } catch (const service_manager_access_denied_exception&) {
        LOG_DEBUG(L"installed, not replaceable: scm access denied (enumeration)");
        status_ = replacement_insufficient_access;
        return;
    }
    bool access_error = false;
    for (const service_record& record : enumerate_services(enumeration)) {
        LOG_TRACE(L"service_name=[%s]", record.service_name);
        // The service could not be opened for its configuration.
        if (record.binary_path.empty()) {
            access_error = true;
            LOG_DEBUG(L"service_access_error: %s", record.service_name);
            continue;
        }
        std::vector<std::wstring> words = split_command_line(record.binary_path);
        std::wstring executable = words.empty() ? std::wstring() : words.front();
        LOG_TRACE(L"exe=[%s]", executable);
        if (!starts_with_ignore_case(executable, home_prefix())) continue;
        // The first service of this home decides; services elsewhere never count.
        decide(record, executable);
        return;
    }
    if (access_error) {
        LOG_DEBUG(L"insufficient access");
        status_ = replacement_insufficient_access;
    } else {
        LOG_DEBUG(L"not installed");
        status_ = replacement_not_installed;
    }
}

void service_replacement_operation::decide(const service_record& record, const std::wstring& executable) {
    if (equals_ignore_case(file_name_of(executable), L"agent.exe")) {
        LOG_DEBUG(L"new service already installed");
        status_ = replacement_new_service_installed;
        return;
    }
    if (!is_local_system(record.account)) {
        LOG_DEBUG(L"installed, not replaceable: user is not localsystem");
        status_ = replacement_not_replaceable;
        return;
    }
    try {
        manager_ = open_service_manager(mutation_rights);
    } catch (const service_manager_access_denied_exception&) {
        LOG_DEBUG(L"installed, not replaceable: scm access denied (mutation)");
        status_ = replacement_not_replaceable;
        return;
    }
    try {
        service_ = open_service(manager_, record.service_name, deletion_rights);
    } catch (const service_access_denied_exception&) {
        LOG_DEBUG(L"installed, not replaceable: service access denied");
        status_ = replacement_not_replaceable;
        return;
    }
    keys_.clear();
    try {
        std::vector<regkey_handle_ptr> keys{
            open_registry_key(get_local_machine_root(), old_settings_key + record.service_name)};
        collect_subkeys(keys.front(), keys);
        keys_ = std::move(keys);
    } catch (const registry_access_denied_exception&) {
        LOG_DEBUG(L"installed, not replaceable: registry access denied");
        status_ = replacement_not_replaceable;
        return;
    } catch (const registry_key_not_found_exception&) {
        // A service without settings of its own is no obstacle.
        LOG_DEBUG(L"registry key not found");
    }
    if (!installation_files_accessible()) return;
    if (record.process_id == 0) {
        LOG_DEBUG(L"installed, replaceable, not running");
        status_ = replaceable_not_running;
    } else {
        LOG_DEBUG(L"installed, replaceable, running");
        status_ = replaceable_running;
    }
}

void service_replacement_operation::replace_service() {
    std::int32_t code = status();
    if (code != replaceable_running && code != replaceable_not_running)
        LOG_FATAL_AND_EXIT(L"service not replaceable: %d", code);
    std::vector<BYTE> buffer;
    DWORD start_type = query_service_config(service_, buffer).dwStartType;
    bool delayed = start_type == SERVICE_AUTO_START && is_service_start_delayed(service_);
    remove_old_service();
    install_application_service(manager_, start_mode_for(start_type, delayed), L".\\LocalSystem", L"");
}

void service_replacement_operation::remove_old_service() {
    kill_old_service();
    stop_service_and_await_stopped(service_);
    delete_service(service_);
    // A deleted service stays registered while a handle to it is open.
    service_.reset();
    // Collected parents first, so in reverse every key goes after its subkeys and the top key last.
    for (auto key = keys_.rbegin(); key != keys_.rend(); ++key) delete_registry_key(*key);
}

bool service_replacement_operation::kill_old_service() {
    DWORD pid = query_service_status_process(service_).dwProcessId;
    if (pid == 0) return false;
    return kill_ancestor_service_process(pid);
}

bool kill_ancestor_service_process(DWORD pid) {
    try {
        // Only an ancestor is opened: the older agent runs this command from inside its service.
        shared_handle process = open_ancestor_process_by_pid(pid);
        if (!TerminateProcess(process.get(), 1)) throw_last_error(L"TerminateProcess");
        return wait_for_single_handle(process, 3000);
    } catch (const process_not_found_exception&) {
        LOG_DEBUG(L"service process not found: pid=%u", static_cast<unsigned>(pid));
        return false;
    } catch (const system_access_denied_exception&) {
        LOG_DEBUG(L"service process access denied: pid=%u", static_cast<unsigned>(pid));
        return false;
    }
}

bool is_service_start_delayed(const service_handle_ptr& service) {
    std::vector<BYTE> buffer;
    try {
        return query_service_config2(service, buffer).fDelayedAutostart != FALSE;
    } catch (const service_exception& e) {
        if (e.error() != ERROR_INVALID_LEVEL) throw;
        LOG_DEBUG(L"delayed start unknown to the service manager: name=[%s]", service->name());
        return false;
    }
}

std::wstring start_mode_for(DWORD start_type, bool delayed) {
    switch (start_type) {
    case SERVICE_AUTO_START:
        return delayed ? L"delayed" : L"auto";
    case SERVICE_DEMAND_START:
        return L"manual";
    case SERVICE_DISABLED:
        return L"disabled";
    default:
        return L"auto";
    }
}
