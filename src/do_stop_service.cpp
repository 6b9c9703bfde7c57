// "stop-service": stops this installation's service and waits until it has stopped.

#include "agent.h"
#include "commands.h"
#include "services.h"

void do_stop_service(int, wchar_t**) {
    const std::wstring& name = get_service_name();
    try {
        service_handle_ptr manager = open_service_manager(SC_MANAGER_CONNECT);
        service_handle_ptr service = open_service(manager, name, SERVICE_QUERY_STATUS | SERVICE_STOP);
        LOG_INFO(L"Stopping service: service=[%s]", name);
        stop_service_and_await_stopped(service);
    } catch (const service_does_not_exist_exception&) {
        LOG_AND_EXIT(L"ERROR", false, L"Unable to stop service: service not found: name=[%s]", name);
    } catch (const access_denied_exception&) {
        LOG_AND_EXIT(L"ERROR", false, L"Unable to stop service: access denied. You may need elevated permissions.");
    }
}
