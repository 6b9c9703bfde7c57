// Drives the race between a stop request and the Java side's own exit in the agent's service, many
// times in one process, with the timing that only a Windows parent can give.
//
//   service_race NAME HOME ROUNDS
// NAME is the installed service of the agent home HOME (whose Java home holds the stand-in runtime).
// Round r writes HOME\conf\agent\javaopts.conf so that the stand-in agent either ends by itself with
// a status after a fixed wait (or ends at once), starts the service, waits until the agent's main has
// started (its record file), sleeps for an offset that walks across the moment of the agent's own exit
// (fixed sequence), sends the stop request, and waits (bounded) for SERVICE_STOPPED and for the end of
// the service process. One line per round:
//   round=R behaviour=B status=S offset=MS control=OK|ERROR state=N win32=N specific=N
//   process_exit=N|timeout log_stopped=yes|no markers=none|LIST
// Exit code 0 when every round ran to its end (the checks are the test's), 1 when a step overran its
// bound. Plain Windows calls only: the driver must not depend on the code under test.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr DWORD bound_ms = 60000;
constexpr DWORD exit_after_ms = 150;  // the stand-in agent's own exit, after its main started

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

bool write_file(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status;
}

bool wait_for_state(SC_HANDLE service, DWORD state, SERVICE_STATUS_PROCESS& status) {
    ULONGLONG deadline = GetTickCount64() + bound_ms;
    for (;;) {
        status = query(service);
        if (status.dwCurrentState == state) return true;
        if (GetTickCount64() > deadline) return false;
        Sleep(2);
    }
}

int fail(const char* what, int round) {
    std::printf("round=%d overran=%s error=%lu\n", round, what, GetLastError());
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: service_race NAME HOME ROUNDS\n");
        return 2;
    }
    std::wstring home = argv[2];
    int rounds = _wtoi(argv[3]);
    std::wstring record = home + L"\\var\\stub-jvm.record", conf = home + L"\\conf\\agent\\javaopts.conf";
    std::wstring log = home + L"\\var\\log\\stdout";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return fail("OpenSCManagerW", -1);
    SC_HANDLE service = OpenServiceW(manager, argv[1], SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) return fail("OpenServiceW", -1);

    // Offsets from the start of the agent's main to the stop request: across the agent's own exit
    // at exit_after_ms, densest around it.
    const int deltas[] = {-60, -20, -8, -3, 0, 2, 5, 10, 20, 45, -100, 80};
    const int statuses[] = {3, 0, 7, 1, 250};
    for (int round = 0; round < rounds; ++round) {
        int status = statuses[round % 5];
        bool at_once = round % 6 == 5;  // the agent thread ends at once, before any stop can come
        std::string behaviour = at_once ? "return" : "wait-shutdown-then-exit:" + std::to_string(status);
        std::string options = "-Dstub.main=" + behaviour + "\r\n-Dstub.poll.ms=10\r\n";
        if (!at_once) options += "-Dstub.wait.ms=" + std::to_string(exit_after_ms) + "\r\n";
        if (!write_file(conf, options)) return fail("write javaopts.conf", round);
        int offset = int(exit_after_ms) + deltas[round % 12];
        if (at_once) offset = 0, status = 0;

        size_t mains_before = count_of(read_file(record), "main.thread=");
        if (!StartServiceW(service, 0, nullptr)) return fail("StartServiceW", round);
        SERVICE_STATUS_PROCESS status_now{};
        // The process id, while the service still runs (an agent that ends at once may be gone already).
        DWORD pid = query(service).dwProcessId;
        HANDLE process = pid ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr;
        ULONGLONG deadline = GetTickCount64() + bound_ms;
        while (count_of(read_file(record), "main.thread=") <= mains_before) {
            if (GetTickCount64() > deadline) return fail("agent main", round);
            Sleep(1);
        }
        if (offset > 0) Sleep(DWORD(offset));
        SERVICE_STATUS control_status{};
        BOOL controlled = ControlService(service, SERVICE_CONTROL_STOP, &control_status);
        DWORD control_error = controlled ? 0 : GetLastError();
        if (!wait_for_state(service, SERVICE_STOPPED, status_now)) return fail("SERVICE_STOPPED", round);
        std::string process_exit = "unknown";
        if (process) {
            if (WaitForSingleObject(process, bound_ms) != WAIT_OBJECT_0) {
                process_exit = "timeout";
            } else {
                DWORD code = 0;
                GetExitCodeProcess(process, &code);
                process_exit = std::to_string(code);
            }
            CloseHandle(process);
        }
        std::string markers;
        for (const wchar_t* marker : {L"shutdown", L"restart"})
            if (exists(home + L"\\var\\" + marker)) markers += (markers.empty() ? "" : ",") + std::string(marker[0] == L's' ? "shutdown" : "restart");
        std::string log_text = read_file(log);
        bool log_stopped = log_text.find("Service stopped") != std::string::npos;
        if (!log_stopped) {
            // What the service process wrote instead, for the test's report.
            for (char& c : log_text)
                if (c == '\r' || c == '\n' || c == '\t') c = '|';
            std::fprintf(stderr, "round=%d log: %s\n", round, log_text.substr(0, 2000).c_str());
        }
        std::printf("round=%d behaviour=%s status=%d offset=%d control=%s state=%lu win32=%lu specific=%lu process_exit=%s "
                    "log_stopped=%s markers=%s\n",
                    round, behaviour.c_str(), status, offset, controlled ? "OK" : ("ERROR" + std::to_string(control_error)).c_str(),
                    status_now.dwCurrentState, status_now.dwWin32ExitCode, status_now.dwServiceSpecificExitCode,
                    process_exit.c_str(), log_stopped ? "yes" : "no", markers.empty() ? "none" : markers.c_str());
        std::fflush(stdout);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
