// Runs many short cases of a test one after another from one Windows process, so that a fuzz-style
// test pays for one start of Wine instead of one per case, and every case has a Windows parent.
//
//   case_runner CASEFILE OUTDIR
// CASEFILE: one case per line, four tab-separated fields, each text field hexadecimal UTF-16LE (so
// that any text, lone surrogates included, passes unchanged):
//   ID  TIMEOUT_MS  ENVIRONMENT  COMMAND_LINE
// ENVIRONMENT is a list of "NAME=value" entries (set or replace) and "NAME" entries (remove), each
// followed by one NUL character; empty for the runner's own environment.
// For each case the child's standard output and error go to OUTDIR\ID.out and OUTDIR\ID.err, its
// standard input is NUL; the runner waits for it up to TIMEOUT_MS and appends "ID EXIT_CODE", or
// "ID timeout PID" after ending it, or "ID start-failed ERROR", to OUTDIR\results, one line per case.
// Plain Windows calls only: the runner must not depend on the code under test.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string read_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string data;
    char buffer[65536];
    DWORD count = 0;
    while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) data.append(buffer, count);
    CloseHandle(file);
    return data;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool from_hex(const std::string& hex, std::wstring& text) {
    if (hex.size() % 4 != 0) return false;
    text.clear();
    for (size_t i = 0; i < hex.size(); i += 4) {
        int d[4];
        for (int k = 0; k < 4; ++k)
            if ((d[k] = hex_digit(hex[i + k])) < 0) return false;
        text.push_back(static_cast<wchar_t>((d[0] << 4 | d[1]) | (d[2] << 4 | d[3]) << 8));
    }
    return true;
}

bool same_name(const std::wstring& entry, const std::wstring& name) {
    size_t eq = entry.find(L'=', 1);
    std::wstring entry_name = entry.substr(0, eq);
    return CompareStringOrdinal(entry_name.c_str(), int(entry_name.size()), name.c_str(), int(name.size()), TRUE) == CSTR_EQUAL;
}

// The runner's environment with the case's changes, as a Unicode block; empty when there are none.
std::wstring environment_block(const std::wstring& changes) {
    if (changes.empty()) return {};
    std::vector<std::wstring> entries;
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* p = current; *p; p += wcslen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsW(current);
    for (size_t at = 0; at < changes.size();) {
        size_t end = changes.find(L'\0', at);
        if (end == std::wstring::npos) end = changes.size();
        std::wstring change = changes.substr(at, end - at);
        at = end + 1;
        if (change.empty()) continue;
        size_t eq = change.find(L'=', 1);
        std::wstring name = change.substr(0, eq);
        std::vector<std::wstring> kept;
        for (auto& e : entries)
            if (!same_name(e, name)) kept.push_back(e);
        if (eq != std::wstring::npos) kept.push_back(change);
        entries.swap(kept);
    }
    std::wstring block;
    for (auto& e : entries) block.append(e).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

HANDLE create_output(const std::wstring& path) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void append_result(const std::wstring& path, const std::string& line) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD written = 0;
    std::string text = line + "\n";
    WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: case_runner CASEFILE OUTDIR\n");
        return 2;
    }
    std::string cases = read_file(argv[1]);
    std::wstring out_dir = argv[2];
    std::wstring results = out_dir + L"\\results";
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE null_input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr);
    for (size_t at = 0; at < cases.size();) {
        size_t end = cases.find('\n', at);
        if (end == std::string::npos) end = cases.size();
        std::string line = cases.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::vector<std::string> fields;
        for (size_t from = 0;;) {
            size_t tab = line.find('\t', from);
            fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
            if (tab == std::string::npos) break;
            from = tab + 1;
        }
        std::wstring environment, command_line;
        if (fields.size() != 4 || !from_hex(fields[2], environment) || !from_hex(fields[3], command_line)) {
            std::fprintf(stderr, "case_runner: bad case line\n");
            return 2;
        }
        const std::string& id = fields[0];
        DWORD timeout = DWORD(std::strtoul(fields[1].c_str(), nullptr, 10));
        std::wstring wide_id(id.begin(), id.end());
        HANDLE out = create_output(out_dir + L"\\" + wide_id + L".out");
        HANDLE err = create_output(out_dir + L"\\" + wide_id + L".err");
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = null_input;
        startup.hStdOutput = out;
        startup.hStdError = err;
        PROCESS_INFORMATION info{};
        std::wstring block = environment_block(environment);
        BOOL started = CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                      block.empty() ? nullptr : block.data(), nullptr, &startup, &info);
        DWORD error = GetLastError();
        CloseHandle(out);
        CloseHandle(err);
        if (!started) {
            append_result(results, id + " start-failed " + std::to_string(error));
            continue;
        }
        CloseHandle(info.hThread);
        if (WaitForSingleObject(info.hProcess, timeout) != WAIT_OBJECT_0) {
            TerminateProcess(info.hProcess, 255);
            WaitForSingleObject(info.hProcess, 5000);
            append_result(results, id + " timeout " + std::to_string(info.dwProcessId));
        } else {
            DWORD code = 0;
            GetExitCodeProcess(info.hProcess, &code);
            append_result(results, id + " " + std::to_string(code));
        }
        CloseHandle(info.hProcess);
    }
    return 0;
}
