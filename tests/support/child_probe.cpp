// A child process for the process tests. Runs its commands from left to right:
//   argv              writes every following argument as UTF-8 followed by one NUL byte, then exits 0
//   write N           writes N pattern bytes (byte i is i % 251) to standard output in one WriteFile call
//   print TEXT        writes TEXT as UTF-8 and a line feed to standard output
//   eprint TEXT       the same on standard error
//   drain             reads standard input to its end and writes what it read to standard output
//   env NAME          writes NAME's value as UTF-8 and a line feed to standard output, or "<unset>"
//   set-event VALUE   SetEvent on the raw handle value VALUE (decimal); exit code 3 when that fails
//   sleep MS          sleeps MS milliseconds
//   exit CODE         exits with CODE
// Plain Windows calls only: the probe must not depend on the code under test.

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool write_bytes(DWORD which, const char* data, DWORD size) {
    DWORD written = 0;
    return WriteFile(GetStdHandle(which), data, size, &written, nullptr) && written == size;
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

unsigned long number(const wchar_t* text) { return std::wcstoul(text, nullptr, 10); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        std::wstring command = argv[i];
        bool has_value = i + 1 < argc;
        if (command == L"argv") {
            std::string all;
            for (int j = i + 1; j < argc; ++j) {
                all += utf8(argv[j]);
                all.push_back('\0');
            }
            return write_bytes(STD_OUTPUT_HANDLE, all.data(), static_cast<DWORD>(all.size())) ? 0 : 4;
        } else if (command == L"write" && has_value) {
            std::vector<char> bytes(number(argv[++i]));
            for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>(k % 251);
            if (!write_bytes(STD_OUTPUT_HANDLE, bytes.data(), static_cast<DWORD>(bytes.size()))) return 4;
        } else if ((command == L"print" || command == L"eprint") && has_value) {
            std::string line = utf8(argv[++i]) + "\n";
            DWORD which = command == L"print" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
            if (!write_bytes(which, line.data(), static_cast<DWORD>(line.size()))) return 4;
        } else if (command == L"drain") {
            char buffer[1024];
            DWORD count = 0;
            while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &count, nullptr) && count > 0) {
                if (!write_bytes(STD_OUTPUT_HANDLE, buffer, count)) return 4;
            }
        } else if (command == L"env" && has_value) {
            std::wstring value(32767, L'\0');
            DWORD length = GetEnvironmentVariableW(argv[++i], value.data(), static_cast<DWORD>(value.size()));
            if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) value = L"<unset>";
            else value.resize(length);
            std::string line = utf8(value) + "\n";
            if (!write_bytes(STD_OUTPUT_HANDLE, line.data(), static_cast<DWORD>(line.size()))) return 4;
        } else if (command == L"set-event" && has_value) {
            HANDLE event = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(number(argv[++i])));
            if (!SetEvent(event)) return 3;
        } else if (command == L"sleep" && has_value) {
            Sleep(number(argv[++i]));
        } else if (command == L"exit" && has_value) {
            return static_cast<int>(number(argv[++i]));
        } else {
            return 2;
        }
    }
    return 0;
}
