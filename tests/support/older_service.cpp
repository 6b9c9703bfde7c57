// A service of the agent's older generation, for the tests of its replacement. The tests copy it into
// an agent home's bin directory under a name of its own and register it from there.
//
//   older_service.exe --install NAME START ACCOUNT REGISTRY
//       registers "<this exe>" --service as service NAME. START: auto, delayed, manual or disabled;
//       ACCOUNT: "" for LocalSystem, or a built-in account such as "NT AUTHORITY\NetworkService";
//       REGISTRY: "yes" also creates the older generation's settings subtree
//       HKEY_LOCAL_MACHINE\SOFTWARE\Brindle\Tolbin3\NAME with nested subkeys.
//       Exit code 0; 2 when the service manager refuses delayed start (the service stays, auto); 1 on
//       any other failure, with "error=CALL:CODE".
//   older_service.exe --remove NAME
//       stops (bounded) and deletes service NAME and removes its settings subtree; whatever is missing
//       is skipped. Exit code 0.
//   older_service.exe --query NAME
//       prints what the manager and the registry hold: "service=present" (or "service=error:CODE") with
//       start, account, binary, delayed, state and pid, then one "key=PATH" line per key of the settings
//       subtree (paths relative to it, the subtree's own key as "."). Exit code 0.
//   older_service.exe --service
//       the service itself: reports running and waits for a stop request, then reports stopped. Events
//       go to "<this exe>.log" ("start pid=N", "stop.request"). It ends by itself after ten minutes.
// Plain Windows calls only: the service must not depend on the code under test.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD lifetime_ms = 600000;
const std::wstring settings_root = L"SOFTWARE\\Brindle\\Tolbin3\\";

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_event = nullptr;

std::wstring own_path() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

void print(const std::wstring& key, const std::wstring& value) {
    std::wstring line = key + L"=" + value + L"\n";
    int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), text.data(), size, nullptr, nullptr);
    std::fwrite(text.data(), 1, text.size(), stdout);
}

int fail(const wchar_t* call, DWORD error) {
    print(L"error", std::wstring(call) + L":" + std::to_wstring(error));
    return 1;
}

void log_event(const std::string& text) {
    HANDLE file = CreateFileW((own_path() + L".log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

int run_service() {
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t empty[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{empty, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

void create_key(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
        ERROR_SUCCESS)
        RegCloseKey(key);
}

void list_keys(HKEY parent, const std::wstring& relative) {
    print(L"key", relative.empty() ? L"." : relative);
    wchar_t name[1024];
    for (DWORD index = 0;; ++index) {
        DWORD length = 1024;
        if (RegEnumKeyExW(parent, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(parent, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
        list_keys(child, relative.empty() ? std::wstring(name) : relative + L"\\" + name);
        RegCloseKey(child);
    }
}

DWORD start_type_of(const std::wstring& start) {
    if (start == L"manual") return SERVICE_DEMAND_START;
    if (start == L"disabled") return SERVICE_DISABLED;
    return SERVICE_AUTO_START;
}

int install(const std::wstring& name, const std::wstring& start, const std::wstring& account, bool registry) {
    if (registry) {
        for (const wchar_t* relative : {L"\\Parameters\\Logging", L"\\Parameters\\Java\\Options", L"\\Monitors"})
            create_key(settings_root + name + relative);
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return fail(L"OpenSCManagerW", GetLastError());
    std::wstring command_line = L"\"" + own_path() + L"\" --service";
    SC_HANDLE service = CreateServiceW(manager, name.c_str(), (L"Older agent " + name).c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, start_type_of(start), SERVICE_ERROR_NORMAL,
                                       command_line.c_str(), nullptr, nullptr, nullptr,
                                       account.empty() ? nullptr : account.c_str(), nullptr);
    if (service == nullptr) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return fail(L"CreateServiceW", error);
    }
    int code = 0;
    if (start == L"delayed") {
        SERVICE_DELAYED_AUTO_START_INFO info{TRUE};
        if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info)) {
            DWORD error = GetLastError();
            print(L"delayed", L"unsupported:" + std::to_wstring(error));
            code = error == ERROR_INVALID_LEVEL ? 2 : fail(L"ChangeServiceConfig2W", error);
        }
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return code;
}

int remove(const std::wstring& name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager != nullptr) {
        SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
        if (service != nullptr) {
            SERVICE_STATUS status{};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            for (int i = 0; i < 100 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
                 ++i)
                Sleep(100);
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (settings_root + name).c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (settings_root + name).c_str());
    return 0;
}

void query_service(const std::wstring& name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        print(L"service", L"error:" + std::to_wstring(GetLastError()));
        return;
    }
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        print(L"service", L"error:" + std::to_wstring(GetLastError()));
        CloseServiceHandle(manager);
        return;
    }
    print(L"service", L"present");
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
        print(L"start", std::to_wstring(config->dwStartType));
        print(L"account", config->lpServiceStartName ? config->lpServiceStartName : L"");
        print(L"binary", config->lpBinaryPathName ? config->lpBinaryPathName : L"");
    }
    SERVICE_DELAYED_AUTO_START_INFO delayed{};
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, reinterpret_cast<BYTE*>(&delayed),
                             sizeof delayed, &needed))
        print(L"delayed", std::to_wstring(delayed.fDelayedAutostart));
    else
        print(L"delayed", L"unsupported:" + std::to_wstring(GetLastError()));
    SERVICE_STATUS_PROCESS status{};
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                             &needed)) {
        print(L"state", std::to_wstring(status.dwCurrentState));
        print(L"pid", std::to_wstring(status.dwProcessId));
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

int query(const std::wstring& name) {
    query_service(name);
    HKEY settings = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (settings_root + name).c_str(), 0, KEY_READ, &settings) == ERROR_SUCCESS) {
        list_keys(settings, L"");
        RegCloseKey(settings);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == L"--service") return run_service();
    if (args.size() == 5 && args[0] == L"--install") return install(args[1], args[2], args[3], args[4] == L"yes");
    if (args.size() == 2 && args[0] == L"--remove") return remove(args[1]);
    if (args.size() == 2 && args[0] == L"--query") return query(args[1]);
    std::fputs("usage: older_service --install NAME START ACCOUNT REGISTRY | --remove NAME | --query NAME | --service\n",
               stderr);
    return 2;
}
