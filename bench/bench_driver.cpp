// Times programs from a Windows parent for bench/run_benchmarks.py, so that the figures hold the
// cost of a program's start and work, not that of starting Wine from a Linux shell.
//
//   bench_driver launches ROUNDS CASEFILE
//       CASEFILE holds UTF-8 lines "name<TAB>kind<TAB>record<TAB>command line". Kind "create": the time
//       from just before CreateProcessW to the stand-in runtime's entry into JNI_CreateJavaVM, read
//       from the record file (deleted before each launch). Kind "exit": the time to the end of the
//       process. The cases run interleaved, one of each per round, with null standard handles, after
//       one unreported warm-up round.
//       Prints "launch NAME ROUND TO_EVENT_MS TO_EXIT_MS EXIT_CODE PEAK_WORKING_SET" per run
//       (TO_EVENT_MS and PEAK_WORKING_SET are "-" where they do not apply).
//   bench_driver service-install NAME COMMAND_LINE     an own-process, demand-start service
//   bench_driver service-delete NAME                   stops (bounded) and deletes it; absent is fine
//   bench_driver service-stop NAME ROUNDS READY_FILE READY_TEXT
//       Per round: start the service, wait until it runs and, unless READY_FILE is "-", until
//       READY_FILE holds READY_TEXT once more than before; let it settle for 300 ms plus a part of
//       100 ms that differs from round to round; then ask it to stop. Prints
//       "service NAME ROUND STOP_TO_STOPPED_MS STOP_TO_PROCESS_END_MS".
// Every wait is bounded (60 s); a run that overruns is reported as "timeout" and the program ends
// with exit code 1. Plain Windows calls only: the driver must not depend on the code it measures.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr DWORD bound_ms = 60000;

double ticks_per_ms() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(frequency.QuadPart) / 1000.0;
}

long long now_ticks() {
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    return ticks.QuadPart;
}

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), size);
    return wide;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench_driver: %s (error %lu)\n", what.c_str(), GetLastError());
    std::exit(1);
}

std::string read_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string data;
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) data.append(buffer, count);
    CloseHandle(file);
    return data;
}

// The value of the first line "key=value" of a record, or "".
std::string record_value(const std::string& record, const std::string& key) {
    std::string wanted = key + "=";
    for (size_t at = 0; at < record.size();) {
        size_t end = record.find('\n', at);
        if (end == std::string::npos) end = record.size();
        if (record.compare(at, wanted.size(), wanted) == 0) return record.substr(at + wanted.size(), end - at - wanted.size());
        at = end + 1;
    }
    return {};
}

struct launch_case {
    std::string name, kind;
    std::wstring record, command_line;
};

std::vector<launch_case> read_cases(const std::wstring& path) {
    std::string text = read_file(path);
    std::vector<launch_case> cases;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        // Three tab-separated fields, then the command line (which may hold tabs of its own).
        std::vector<std::string> fields;
        size_t from = 0;
        for (size_t tab; fields.size() < 3 && (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
            fields.push_back(line.substr(from, tab - from));
        if (fields.size() == 3) fields.push_back(line.substr(from));
        if (fields.size() != 4 || (fields[1] != "create" && fields[1] != "exit")) fail("bad case line: " + line);
        cases.push_back({fields[0], fields[1], widen(fields[2]), widen(fields[3])});
    }
    if (cases.empty()) fail("no cases");
    return cases;
}

int launches(int rounds, const std::wstring& case_file) {
    std::vector<launch_case> cases = read_cases(case_file);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE null_device = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                     OPEN_EXISTING, 0, nullptr);
    if (null_device == INVALID_HANDLE_VALUE) fail("cannot open NUL");
    const double per_ms = ticks_per_ms();
    // Round -1 warms the caches up and is not reported.
    for (int round = -1; round < rounds; ++round) {
        for (const launch_case& c : cases) {
            if (c.kind == "create") DeleteFileW(c.record.c_str());
            STARTUPINFOW startup{};
            startup.cb = sizeof(startup);
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = startup.hStdOutput = startup.hStdError = null_device;
            PROCESS_INFORMATION info{};
            std::wstring command_line = c.command_line;
            long long start = now_ticks();
            if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
                fail("cannot start " + narrow(c.command_line));
            DWORD waited = WaitForSingleObject(info.hProcess, bound_ms);
            long long end = now_ticks();
            if (waited != WAIT_OBJECT_0) {
                TerminateProcess(info.hProcess, 1);
                std::printf("launch %s %d timeout\n", c.name.c_str(), round);
                std::fflush(stdout);
                return 1;
            }
            DWORD exit_code = 0;
            GetExitCodeProcess(info.hProcess, &exit_code);
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
            std::string to_event = "-", peak = "-";
            if (c.kind == "create") {
                std::string record = read_file(c.record);
                std::string entry = record_value(record, "create.entry.qpc");
                if (entry.empty()) fail("no JNI_CreateJavaVM entry recorded by " + c.name + " (exit code " + std::to_string(exit_code) + ")");
                char text[64];
                std::snprintf(text, sizeof text, "%.3f", double(std::strtoll(entry.c_str(), nullptr, 10) - start) / per_ms);
                to_event = text;
                peak = record_value(record, "create.entry.peak_working_set");
                if (peak.empty()) peak = "-";
            }
            if (round < 0) continue;
            std::printf("launch %s %d %s %.3f %lu %s\n", c.name.c_str(), round, to_event.c_str(), double(end - start) / per_ms,
                        exit_code, peak.c_str());
            std::fflush(stdout);
        }
    }
    CloseHandle(null_device);
    return 0;
}

struct service_handles {
    SC_HANDLE manager = nullptr, service = nullptr;
    ~service_handles() {
        if (service) CloseServiceHandle(service);
        if (manager) CloseServiceHandle(manager);
    }
};

SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
        fail("QueryServiceStatusEx");
    return status;
}

bool wait_for_state(SC_HANDLE service, DWORD state) {
    ULONGLONG deadline = GetTickCount64() + bound_ms;
    while (query(service).dwCurrentState != state) {
        if (GetTickCount64() > deadline) return false;
        Sleep(1);
    }
    return true;
}

int install(const std::wstring& name, const std::wstring& command_line) {
    service_handles h;
    h.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!h.manager) fail("OpenSCManagerW");
    h.service = CreateServiceW(h.manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command_line.c_str(), nullptr, nullptr, nullptr,
                               nullptr, nullptr);
    if (!h.service) fail("CreateServiceW");
    return 0;
}

int remove(const std::wstring& name) {
    service_handles h;
    h.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!h.manager) fail("OpenSCManagerW");
    h.service = OpenServiceW(h.manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (!h.service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : (fail("OpenServiceW"), 1);
    SERVICE_STATUS status{};
    if (query(h.service).dwCurrentState != SERVICE_STOPPED) {
        ControlService(h.service, SERVICE_CONTROL_STOP, &status);
        wait_for_state(h.service, SERVICE_STOPPED);
    }
    if (!DeleteService(h.service)) fail("DeleteService");
    return 0;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

int service_stops(const std::wstring& name, int rounds, const std::wstring& ready_file, const std::string& ready_text) {
    service_handles h;
    h.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!h.manager) fail("OpenSCManagerW");
    h.service = OpenServiceW(h.manager, name.c_str(), SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!h.service) fail("OpenServiceW");
    const double per_ms = ticks_per_ms();
    for (int round = 0; round < rounds; ++round) {
        size_t ready_before = ready_file == L"-" ? 0 : count_of(read_file(ready_file), ready_text);
        if (!StartServiceW(h.service, 0, nullptr)) fail("StartServiceW");
        if (!wait_for_state(h.service, SERVICE_RUNNING)) fail("service did not report running");
        if (ready_file != L"-") {
            ULONGLONG deadline = GetTickCount64() + bound_ms;
            while (count_of(read_file(ready_file), ready_text) <= ready_before) {
                if (GetTickCount64() > deadline) fail("service did not get ready");
                Sleep(10);
            }
        }
        // A settling time that falls at a different point of the agent's poll cycle in every round
        // (fixed sequence), so that the rounds sample the whole cycle.
        Sleep(300 + DWORD(round * 37 % 100));
        DWORD pid = query(h.service).dwProcessId;
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        SERVICE_STATUS status{};
        long long start = now_ticks();
        // Wine answers 109 when the service's process ends while it replies: the stop was delivered.
        if (!ControlService(h.service, SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_BROKEN_PIPE)
            fail("ControlService");
        bool stopped = wait_for_state(h.service, SERVICE_STOPPED);
        long long at_stopped = now_ticks();
        bool ended = process == nullptr || WaitForSingleObject(process, bound_ms) == WAIT_OBJECT_0;
        long long at_end = now_ticks();
        if (process) CloseHandle(process);
        if (!stopped || !ended) {
            std::printf("service %s %d timeout\n", narrow(name).c_str(), round);
            return 1;
        }
        std::printf("service %s %d %.3f %.3f\n", narrow(name).c_str(), round, double(at_stopped - start) / per_ms,
                    double(at_end - start) / per_ms);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"launches" && argc == 4) return launches(_wtoi(argv[2]), argv[3]);
    if (mode == L"service-install" && argc == 4) return install(argv[2], argv[3]);
    if (mode == L"service-delete" && argc == 3) return remove(argv[2]);
    if (mode == L"service-stop" && argc == 6) return service_stops(argv[2], _wtoi(argv[3]), argv[4], narrow(argv[5]));
    std::fprintf(stderr,
                 "usage: bench_driver launches ROUNDS CASEFILE | service-install NAME COMMAND_LINE | "
                 "service-delete NAME | service-stop NAME ROUNDS READY_FILE READY_TEXT\n");
    return 2;
}
