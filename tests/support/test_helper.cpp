// The tests' helper program. Plain Windows calls only: it must not depend on the code under test.
//
//   test_helper child COMMAND...   a child for the process tests; runs its commands from left to right:
//       argv            writes every following argument as UTF-8 followed by a NUL byte, then ends
//       print TEXT      TEXT as UTF-8 and a line feed on standard output
//       drain           copies standard input to standard output up to its end
//       situation       "console=C window=W pipes=P": whether it has a console and a console window,
//                       and how many pipe handles it holds (inherited ones among them)
//       set-event VALUE SetEvent on the raw handle value VALUE (decimal); exit code 3 when that fails
//       sleep MS, exit CODE
//   test_helper service SCRIPT     a service (as registered command line) that follows SCRIPT, a file of
//       key=value lines read at start (a missing file gives the defaults, as for the older generation):
//       start=STEPS     on start (default: running); stop requests are refused while it reports start
//                       pending, as the service manager refuses a control the service does not accept
//       stop=STEPS      on a stop request (default: stopped)
//       exit=N          service-specific exit code of the final report (win32 code 1066 when not 0)
//     STEPS: comma-separated pending:CHECKPOINT:HINT, running, stopped, sleep:MS, hang (until released).
//     The steps of a stop up to its first sleep or hang run in the control handler, so the status that
//     ControlService hands back already shows them. Events go to SCRIPT.log ("start", "stop.request",
//     "stopped"); the file SCRIPT.release ends the service whatever it does, and so do ten minutes.
//   test_helper query NAME [FILE]  what the service manager holds for service NAME, one key=value a line
//       (display, binary, start, account, delayed, state, win32_exit, specific_exit, pid, controls accepted,
//       preshutdown time-out); exit code 1 with "error=CODE" when it cannot be read. With FILE it holds
//       the service open until FILE exists.
//   test_helper version FILE KEY...  FILE's version information through version.dll: "fixed=" the file and
//       product versions (four numbers), then KEY=value of the strings VarFileInfo\Translation names.

#include <windows.h>

#include "stub_jvm/stub_common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using stub::to_utf8;

bool write_to(HANDLE handle, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(handle, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
}

unsigned long number(const std::string& text) { return std::strtoul(text.c_str(), nullptr, 10); }

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts{""};
    for (char c : text) c == separator ? parts.push_back("") : parts.back().push_back(c);
    return parts;
}

int child(int argc, wchar_t** argv) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (int i = 2; i < argc; ++i) {
        std::wstring command = argv[i];
        std::string value = i + 1 < argc ? to_utf8(argv[i + 1]) : "";
        if (command == L"argv") {
            std::string all;
            for (int j = i + 1; j < argc; ++j) all += to_utf8(argv[j]) + '\0';
            return write_to(out, all) ? 0 : 4;
        } else if (command == L"drain") {
            char buffer[1024];
            DWORD count = 0;
            while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &count, nullptr) && count > 0)
                if (!write_to(out, std::string(buffer, count))) return 4;
            continue;
        } else if (command == L"situation") {
            int pipes = 0;
            for (std::uintptr_t value = 4; value < 4096; value += 4) pipes += GetFileType(HANDLE(value)) == FILE_TYPE_PIPE;
            if (!write_to(out, "console=" + std::to_string(GetConsoleCP() != 0) + " window=" +
                                   std::to_string(GetConsoleWindow() != nullptr) + " pipes=" + std::to_string(pipes) + "\n"))
                return 4;
            continue;
        } else if (i + 1 == argc) {
            return 2;
        } else if (command == L"print") {
            if (!write_to(out, value + "\n")) return 4;
        } else if (command == L"set-event") {
            if (!SetEvent(reinterpret_cast<HANDLE>(std::uintptr_t(number(value))))) return 3;
        } else if (command == L"sleep") {
            Sleep(number(value));
        } else if (command == L"exit") {
            return int(number(value));
        } else {
            return 2;
        }
        ++i;
    }
    return 0;
}

// ---- the scripted service ----------------------------------------------------------------------

std::wstring script_path;
std::string start_steps = "running", stop_steps = "stopped", pending_stop_steps;
unsigned long exit_code = 0;
ULONGLONG started_at = 0;
SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_requested = nullptr;  // auto-reset: the handler hands the rest of a stop to the service thread

void log_event(const std::string& event) {
    HANDLE file = CreateFileW((script_path + L".log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, 0, nullptr);
    write_to(file, event + "\n");
    CloseHandle(file);
}

bool released() {
    return GetFileAttributesW((script_path + L".release").c_str()) != INVALID_FILE_ATTRIBUTES ||
           GetTickCount64() - started_at > 600000;
}

void report(DWORD state, DWORD check_point = 0, DWORD wait_hint = 0) {
    bool failed = state == SERVICE_STOPPED && exit_code != 0;
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state,
                          DWORD(state == SERVICE_START_PENDING || state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP),
                          DWORD(failed ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR), failed ? exit_code : 0,
                          check_point, wait_hint};
    if (state == SERVICE_STOPPED) log_event("stopped");
    SetServiceStatus(status_handle, &status);
}

enum class outcome { go_on, stopped, released };

// Runs the steps; with `rest` it stops before the first sleep or hang and hands the others back there.
outcome run_steps(const std::string& steps, DWORD pending_state, std::string* rest) {
    std::vector<std::string> list = split(steps, ',');
    for (size_t i = 0; i < list.size(); ++i) {
        std::vector<std::string> parts = split(list[i], ':');
        if (rest && (parts[0] == "sleep" || parts[0] == "hang")) {
            for (size_t j = i; j < list.size(); ++j) *rest += (j > i ? "," : "") + list[j];
            return outcome::go_on;
        }
        if (parts[0] == "pending" && parts.size() == 3) report(pending_state, number(parts[1]), number(parts[2]));
        if (parts[0] == "running") report(SERVICE_RUNNING);
        if (parts[0] == "stopped") {
            report(SERVICE_STOPPED);
            return outcome::stopped;
        }
        ULONGLONG until = parts[0] == "hang" ? ~0ull : parts[0] == "sleep" ? GetTickCount64() + number(parts.at(1)) : 0;
        while (GetTickCount64() < until)
            if (released()) return outcome::released;
            else Sleep(50);
    }
    return outcome::go_on;
}

DWORD WINAPI control_handler(DWORD control, DWORD, void*, void*) {
    if (control != SERVICE_CONTROL_STOP) return NO_ERROR;
    log_event("stop.request");
    std::string rest;
    if (run_steps(stop_steps, SERVICE_STOP_PENDING, &rest) == outcome::go_on && !rest.empty()) {
        pending_stop_steps = rest;
        SetEvent(stop_requested);
    }
    return NO_ERROR;
}

void WINAPI service_main(DWORD argc, wchar_t** argv) {
    status_handle = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", control_handler, nullptr);
    if (status_handle == nullptr) return;
    log_event("start");
    outcome result = run_steps(start_steps, SERVICE_START_PENDING, nullptr);
    while (result == outcome::go_on && !released())
        if (WaitForSingleObject(stop_requested, 50) == WAIT_OBJECT_0)
            result = run_steps(pending_stop_steps, SERVICE_STOP_PENDING, nullptr);
    if (result != outcome::stopped) report(SERVICE_STOPPED);
}

int service(const wchar_t* script) {
    started_at = GetTickCount64();
    script_path = script;
    HANDLE file = CreateFileW(script, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[4096] = {};
    DWORD count = 0;
    if (file != INVALID_HANDLE_VALUE) ReadFile(file, buffer, sizeof buffer - 1, &count, nullptr), CloseHandle(file);
    for (const std::string& line : split(std::string(buffer, count), '\n')) {
        std::string key = line.substr(0, line.find('=')), value = line.substr(std::min(line.size(), key.size() + 1));
        if (!value.empty() && value.back() == '\r') value.pop_back();
        if (key == "start") start_steps = value;
        if (key == "stop") stop_steps = value;
        if (key == "exit") exit_code = number(value);
    }
    stop_requested = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

// ---- a registration read back by a client that is not the program under test ------------------

void print(const char* key, const std::wstring& value) { std::fputs((key + ("=" + to_utf8(value)) + "\n").c_str(), stdout); }

int query(const wchar_t* name, const wchar_t* release) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS) : nullptr;
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceConfigW(service, config, DWORD(buffer.size()), &needed) ||
        !QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    print("display", config->lpDisplayName ? config->lpDisplayName : L"");
    print("binary", config->lpBinaryPathName ? config->lpBinaryPathName : L"");
    print("start", std::to_wstring(config->dwStartType));
    print("account", config->lpServiceStartName ? config->lpServiceStartName : L"");
    SERVICE_DELAYED_AUTO_START_INFO delayed{};
    bool known = QueryServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, reinterpret_cast<BYTE*>(&delayed),
                                      sizeof delayed, &needed);
    print("delayed", known ? std::to_wstring(delayed.fDelayedAutostart) : L"unsupported:" + std::to_wstring(GetLastError()));
    SERVICE_PRESHUTDOWN_INFO preshutdown{};
    QueryServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<BYTE*>(&preshutdown), sizeof preshutdown,
                         &needed);
    for (auto [key, value] : {std::pair{"state", status.dwCurrentState}, {"win32_exit", status.dwWin32ExitCode},
                              {"specific_exit", status.dwServiceSpecificExitCode}, {"pid", status.dwProcessId},
                              {"controls", status.dwControlsAccepted}, {"preshutdown", preshutdown.dwPreshutdownTimeout}})
        print(key, std::to_wstring(value));
    std::fflush(stdout);
    for (int i = 0; release && i < 1200 && GetFileAttributesW(release) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
    return 0;
}

// ---- version information as Windows' own reader gives it ---------------------------------------

int version(const wchar_t* file, int count, wchar_t** keys) {
    std::vector<BYTE> data(GetFileVersionInfoSizeW(file, nullptr));
    VS_FIXEDFILEINFO* fixed = nullptr;
    WORD* language = nullptr;
    UINT size = 0;
    if (data.empty() || !GetFileVersionInfoW(file, 0, DWORD(data.size()), data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) ||
        !VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&language), &size))
        return std::printf("error=%lu\n", GetLastError()), 1;
    std::printf("fixed=%lu,%lu,%lu,%lu\n", fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                fixed->dwProductVersionLS);
    wchar_t table[32];
    std::swprintf(table, 32, L"\\StringFileInfo\\%04x%04x\\", language[0], language[1]);
    for (wchar_t* value = nullptr; count-- > 0; ++keys)
        if (VerQueryValueW(data.data(), (table + std::wstring(*keys)).c_str(), reinterpret_cast<void**>(&value), &size))
            print(to_utf8(*keys).c_str(), value);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"child") return child(argc, argv);
    if (mode == L"service" && argc == 3) return service(argv[2]);
    if (mode == L"query" && (argc == 3 || argc == 4)) return query(argv[2], argc == 4 ? argv[3] : nullptr);
    if (mode == L"version" && argc >= 3) return version(argv[2], argc - 3, argv + 3);
    std::fputs("usage: test_helper child COMMAND... | service SCRIPT | query NAME [FILE] | version FILE KEY...\n", stderr);
    return 2;
}
