// The smallest service of our own: it reports running at once and, on a stop request, reports
// stopped from the control handler and ends. The benchmarks measure the program's service stop
// against it. Plain Windows calls only; a service left alone ends by itself after ten minutes.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stopped_event = nullptr;

void report(DWORD state) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, NO_ERROR, 0, 0, 0};
    SetServiceStatus(status_handle, &status);
}

void WINAPI control_handler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP) return;
    report(SERVICE_STOPPED);
    SetEvent(stopped_event);
}

void WINAPI service_main(DWORD, wchar_t**) {
    status_handle = RegisterServiceCtrlHandlerW(L"minimal_service", control_handler);
    if (status_handle == nullptr) return;
    report(SERVICE_RUNNING);
    if (WaitForSingleObject(stopped_event, 600000) == WAIT_TIMEOUT) report(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
    stopped_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"minimal_service";
    SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
