// A service of the agent's older generation, for the tests of its replacement. The tests copy it into
// an agent home's bin directory under a name of its own and register it from there with Wine's own
// sc.exe ("<exe>" --service). It reports running, waits for a stop request and reports stopped.
// Events go to "<exe>.log" ("start pid=N", "stop.request"); it ends by itself after ten minutes.
// Plain Windows calls only: the service must not depend on the code under test.

#include <windows.h>

#include <string>

namespace {

constexpr DWORD lifetime_ms = 600000;

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_event = nullptr;

void log_event(const std::string& text) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring log_path = std::wstring(path, length) + L".log";
    HANDLE file = CreateFileW(log_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string line = text + "\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

void report(DWORD state) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0u,
                          NO_ERROR, 0, 0, 0};
    SetServiceStatus(status_handle, &status);
}

DWORD WINAPI control_handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        log_event("stop.request");
        SetEvent(stop_event);
    }
    return NO_ERROR;
}

void WINAPI service_main(DWORD, wchar_t**) {
    status_handle = RegisterServiceCtrlHandlerExW(L"", control_handler, nullptr);
    if (status_handle == nullptr) return;
    log_event("start pid=" + std::to_string(GetCurrentProcessId()));
    report(SERVICE_RUNNING);
    WaitForSingleObject(stop_event, lifetime_ms);
    report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 || std::wstring(argv[1]) != L"--service") return 2;
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t empty[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{empty, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
