// "_service_continue", the service process, and "_service", which restarts the installed service.

#include "agent.h"
#include "agent_home.h"
#include "commands.h"
#include "services.h"
#include "upgrade_handover.h"
#include "windows_service.h"

namespace {

// A marker or copy that is already gone is what the caller wants; nothing to report either way.
void delete_file_if_present(const std::wstring& path) { DeleteFileW(path.c_str()); }

}  // namespace

void do_service_continue(int, wchar_t**) {
    // The environment of set_env.cmd is loaded once the process has connected to the service manager
    // (windows_service::service_main).
    LOG_INFO(L"Starting service: service=[%s] pid=%u agent_home=[%s]", get_service_name(),
             static_cast<unsigned>(GetCurrentProcessId()), get_agent_home());
    windows_service::init_application_instance();
    windows_service::get_application_instance().dispatch_service_events();
    // A marker left behind would stop the next run of the agent at once.
    delete_file_if_present(get_shutdown_marker_path());
    delete_file_if_present(get_restart_marker_path());
    LOG_INFO(L"Service stopped");
}

void do_service(int, wchar_t**) {
    finish_upgrade_handover();
    LOG_INFO(L"Restarting service: service=[%s]", get_service_name());
    service_handle_ptr manager = open_service_manager(SC_MANAGER_CONNECT);
    service_handle_ptr service =
        open_service(manager, get_service_name(), SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP);
    stop_service_and_await_stopped(service);
    start_service_and_await_running(service);
}
