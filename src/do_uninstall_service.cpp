// "uninstall-service": stops and removes this installation's service.

#include "agent.h"
#include "commands.h"
#include "services.h"

void do_uninstall_service(int, wchar_t**) {
    const std::wstring& name = get_service_name();
    try {
        service_handle_ptr manager = open_service_manager(SC_MANAGER_CONNECT);
        service_handle_ptr service = open_service(manager, name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
        stop_service_and_await_stopped(service);
        delete_service(service);
    } catch (const service_does_not_exist_exception&) {
        LOG_INFO(L"Service already uninstalled: service=[%s]", name);
    } catch (const access_denied_exception&) {
        LOG_AND_EXIT(L"ERROR", false,
                     L"Unable to uninstall service: access denied. You may need elevated permissions.");
    }
}
