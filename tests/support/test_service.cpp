// A Windows service whose reports are scripted, so that the waits on service state meet a real
// service under the real service manager. Usage (as the registered command line):
//   test_service.exe SCRIPT
// SCRIPT is a text file of key=value lines, read once when the service starts:
//   start=STEPS      what the service does when it starts (default: running)
//   stop=STEPS       what it does on a stop request (default: stopped)
//   stop.refuse.ms=N for its first N milliseconds the service does not accept stop requests, so the
//                    manager refuses them (ControlService fails with ERROR_INVALID_SERVICE_CONTROL)
//   exit=N           service-specific exit code of the final stopped report (win32 code 1066 when N != 0)
// STEPS is a comma-separated list of
//   pending:CP:HINT  report start pending (while starting) or stop pending (on a stop) with check point CP
//                    and wait hint HINT milliseconds
//   running          report running
//   stopped          report stopped and end
//   sleep:MS         pause
//   hang             wait until released
//   ignore           (stop only) leave the state as it is and wait for the next request
// The steps of a stop up to the first sleep or hang run inside the control handler, so the status that
// ControlService hands back already shows them, as with a service that reports stop pending at once.
// Events are appended to SCRIPT.log ("start pid=N", "stop.request", "stop.accepted", "stopped").
// (A refusal from the control handler itself would be the natural way to fail one request, but Wine's
// service manager reports success whatever the handler answers.)
// The file SCRIPT.release ends the service whatever it is doing: a test's clean-up never depends on the
// script; a service left alone ends after ten minutes.
//
//   test_service.exe --query NAME
// is no service: it prints what the service manager holds for service NAME, one key=value per line
// (display, binary, start, account, delayed, state, win32_exit, specific_exit, checkpoint, wait_hint,
// pid), so that tests read a registration back through a client that is not the program under test.
// Exit code 0, or 1 with "error=CODE" when the service cannot be opened or read.
// Plain Windows calls only: the service must not depend on the code under test.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr DWORD lifetime_ms = 600000;
constexpr DWORD poll_ms = 50;

struct script {
    std::wstring start = L"running";
    std::wstring stop = L"stopped";
    DWORD stop_refuse_ms = 0;
    DWORD exit_code = 0;
};

std::wstring script_path;
script settings;
SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
CRITICAL_SECTION status_lock;
HANDLE stop_requested = nullptr;  // auto-reset: one wake-up per request
std::wstring pending_stop_steps;  // what the handler left for the service thread
bool refusing_stop = false;
std::atomic<bool> in_stop{false};
ULONGLONG started_at = 0;

void log_event(const std::string& text) {
    std::ofstream out(std::wstring(script_path + L".log").c_str(), std::ios::app | std::ios::binary);
    out << text << "\n";
}

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

bool released() {
    return GetFileAttributesW((script_path + L".release").c_str()) != INVALID_FILE_ATTRIBUTES ||
           GetTickCount64() - started_at > lifetime_ms;
}

void report(DWORD state, DWORD check_point, DWORD wait_hint) {
    EnterCriticalSection(&status_lock);
    status.dwCurrentState = state;
    status.dwCheckPoint = check_point;
    status.dwWaitHint = wait_hint;
    bool accepts = state != SERVICE_START_PENDING && state != SERVICE_STOPPED && !refusing_stop;
    status.dwControlsAccepted = accepts ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    if (state == SERVICE_STOPPED && settings.exit_code != 0) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = settings.exit_code;
    }
    SetServiceStatus(status_handle, &status);
    LeaveCriticalSection(&status_lock);
}

void report_stopped() {
    log_event("stopped");
    report(SERVICE_STOPPED, 0, 0);
}

std::vector<std::wstring> split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    std::wstringstream stream(text);
    std::wstring part;
    while (std::getline(stream, part, separator)) parts.push_back(part);
    return parts;
}

void read_script() {
    std::wifstream in(script_path.c_str());
    std::wstring line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        std::size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) continue;
        std::wstring key = line.substr(0, equals);
        std::wstring value = line.substr(equals + 1);
        if (key == L"start") settings.start = value;
        if (key == L"stop") settings.stop = value;
        if (key == L"stop.refuse.ms") settings.stop_refuse_ms = std::wcstoul(value.c_str(), nullptr, 10);
        if (key == L"exit") settings.exit_code = std::wcstoul(value.c_str(), nullptr, 10);
    }
}

// Sleeps, returning early (false) when the service has been released.
bool pause(DWORD ms) {
    ULONGLONG until = GetTickCount64() + ms;
    while (GetTickCount64() < until) {
        if (released()) return false;
        Sleep(poll_ms);
    }
    return true;
}

enum class outcome { go_on, stopped, released };

// Runs the steps from `first` on; with `until_blocking` it stops before the first sleep or hang and
// hands the rest back through `rest`.
outcome run_steps(const std::vector<std::wstring>& steps, std::size_t first, DWORD pending_state, bool until_blocking,
                  std::wstring* rest) {
    for (std::size_t i = first; i < steps.size(); ++i) {
        const std::wstring& step = steps[i];
        bool blocking = step.rfind(L"sleep:", 0) == 0 || step == L"hang";
        if (until_blocking && blocking) {
            for (std::size_t j = i; j < steps.size(); ++j) *rest += (j > i ? L"," : L"") + steps[j];
            return outcome::go_on;
        }
        if (step.rfind(L"pending:", 0) == 0) {
            std::vector<std::wstring> parts = split(step, L':');
            report(pending_state, std::wcstoul(parts.at(1).c_str(), nullptr, 10),
                   std::wcstoul(parts.at(2).c_str(), nullptr, 10));
        } else if (step == L"running") {
            report(SERVICE_RUNNING, 0, 0);
        } else if (step == L"stopped") {
            report_stopped();
            return outcome::stopped;
        } else if (step.rfind(L"sleep:", 0) == 0) {
            if (!pause(std::wcstoul(step.c_str() + 6, nullptr, 10))) return outcome::released;
        } else if (step == L"hang") {
            while (!released()) Sleep(poll_ms);
            return outcome::released;
        }
    }
    return outcome::go_on;
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    if (control != SERVICE_CONTROL_STOP) return ERROR_CALL_NOT_IMPLEMENTED;
    log_event("stop.request");
    // A second request while a stop is under way finds the service in the state it reported.
    if (in_stop.exchange(true)) return NO_ERROR;
    std::wstring rest;
    outcome result = run_steps(split(settings.stop, L','), 0, SERVICE_STOP_PENDING, true, &rest);
    if (result == outcome::stopped) return NO_ERROR;
    if (rest.empty()) {
        in_stop = false;
        return NO_ERROR;
    }
    pending_stop_steps = rest;
    SetEvent(stop_requested);
    return NO_ERROR;
}

void WINAPI service_main(DWORD argc, wchar_t** argv) {
    status_handle = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", handler, nullptr);
    if (status_handle == nullptr) return;
    log_event("start pid=" + std::to_string(GetCurrentProcessId()));
    refusing_stop = settings.stop_refuse_ms > 0;
    outcome result = run_steps(split(settings.start, L','), 0, SERVICE_START_PENDING, false, nullptr);
    if (result == outcome::stopped) return;
    while (result == outcome::go_on) {
        if (released()) break;
        if (refusing_stop && GetTickCount64() - started_at >= settings.stop_refuse_ms) {
            EnterCriticalSection(&status_lock);
            refusing_stop = false;
            log_event("stop.accepted");
            report(status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint);
            LeaveCriticalSection(&status_lock);
        }
        if (WaitForSingleObject(stop_requested, poll_ms) != WAIT_OBJECT_0) continue;
        result = run_steps(split(pending_stop_steps, L','), 0, SERVICE_STOP_PENDING, false, nullptr);
        in_stop = false;
    }
    if (result != outcome::stopped) report_stopped();
}

void print_utf8(const std::wstring& key, const std::wstring& value) {
    std::wstring line = key + L"=" + value + L"\n";
    int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size, nullptr, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

int fail(const char* what) {
    std::printf("error=%lu\nerror.call=%s\n", GetLastError(), what);
    return 1;
}

int query(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return fail("OpenSCManagerW");
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (service == nullptr) return fail("OpenServiceW");
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 16);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
        return fail("QueryServiceConfigW");
    print_utf8(L"display", config->lpDisplayName ? config->lpDisplayName : L"");
    print_utf8(L"binary", config->lpBinaryPathName ? config->lpBinaryPathName : L"");
    print_utf8(L"start", std::to_wstring(config->dwStartType));
    print_utf8(L"account", config->lpServiceStartName ? config->lpServiceStartName : L"");
    SERVICE_DELAYED_AUTO_START_INFO delayed{};
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, reinterpret_cast<BYTE*>(&delayed),
                             sizeof(delayed), &needed))
        print_utf8(L"delayed", std::to_wstring(delayed.fDelayedAutostart));
    else
        print_utf8(L"delayed", L"unsupported:" + std::to_wstring(GetLastError()));
    SERVICE_STATUS_PROCESS status{};
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed))
        return fail("QueryServiceStatusEx");
    print_utf8(L"state", std::to_wstring(status.dwCurrentState));
    print_utf8(L"win32_exit", std::to_wstring(status.dwWin32ExitCode));
    print_utf8(L"specific_exit", std::to_wstring(status.dwServiceSpecificExitCode));
    print_utf8(L"checkpoint", std::to_wstring(status.dwCheckPoint));
    print_utf8(L"wait_hint", std::to_wstring(status.dwWaitHint));
    print_utf8(L"pid", std::to_wstring(status.dwProcessId));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"--query") return query(argv[2]);
    if (argc < 2) {
        std::fputs("usage: test_service SCRIPT | test_service --query NAME\n", stderr);
        return 2;
    }
    started_at = GetTickCount64();
    script_path = argv[1];
    read_script();
    InitializeCriticalSection(&status_lock);
    stop_requested = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    wchar_t name[] = L"test_service";
    SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        std::fprintf(stderr, "StartServiceCtrlDispatcherW failed: %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
