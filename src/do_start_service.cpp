// "start-service": starts this installation's service and waits until it runs.

#include "agent.h"
#include "agent_home.h"
#include "commands.h"
#include "services.h"

void do_start_service(int, wchar_t**) {
    exit_unless_log_directory_exists();
    const std::wstring& name = get_service_name();
    try {
        service_handle_ptr manager = open_service_manager(SC_MANAGER_CONNECT);
        service_handle_ptr service = open_service(manager, name, SERVICE_QUERY_STATUS | SERVICE_START);
        LOG_INFO(L"Starting service: service=[%s]", name);
        start_service_and_await_running(service);
    } catch (const service_does_not_exist_exception&) {
        LOG_AND_EXIT(L"ERROR", false, L"Unable to start service: service not found: name=[%s]", name);
    } catch (const access_denied_exception&) {
        LOG_AND_EXIT(L"ERROR", false, L"Unable to start service: access denied. You may need elevated permissions.");
    }
}
