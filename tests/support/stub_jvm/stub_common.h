// Pieces shared by the stand-in Java runtime (jvm.dll) and launcher (java.exe).
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace stub {

inline std::string to_utf8(std::wstring_view text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

inline std::wstring to_wide(std::string_view text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size);
    return out;
}

// Straight to the standard handles, as a Java runtime's own streams write: the host's C runtime may
// have put its streams into a wide-text mode that rejects narrow writes.
inline void write_line(DWORD which, std::string_view text) {
    std::string line = std::string(text) + "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(which), line.data(), DWORD(line.size()), &written, nullptr);
}
inline void print_out(std::string_view text) { write_line(STD_OUTPUT_HANDLE, text); }
inline void print_err(std::string_view text) { write_line(STD_ERROR_HANDLE, text); }

// A misconfigured test or a host that misuses the runtime ends the process with a code of its own.
[[noreturn]] inline void die(std::string_view message) {
    print_err(message);
    ExitProcess(99);
}

// The block is scanned: under Wine GetEnvironmentVariableW cannot tell a variable set to the empty
// value from a missing one.
inline std::optional<std::wstring> find_env(std::wstring_view name) {
    std::optional<std::wstring> found;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry && !found; entry += wcslen(entry) + 1) {
        std::wstring_view text(entry);
        if (text.find(L'=', 1) == name.size() &&
            CompareStringOrdinal(entry, int(name.size()), name.data(), int(name.size()), TRUE) == CSTR_EQUAL)
            found = std::wstring(text.substr(name.size() + 1));
    }
    FreeEnvironmentStringsW(block);
    return found;
}

inline std::optional<long> parse_long(const std::string& text) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0') return std::nullopt;
    return value;
}

inline bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The dash options a HotSpot runtime takes in the forms the agent is started with; anything else is
// refused, as the real runtime refuses it.
inline bool is_known_dash_option(std::string_view option) {
    for (std::string_view exact : {"-Xrs", "-Xint", "-Xcheck:jni", "-Xdebug", "-ea", "-da", "-esa", "-dsa", "-verbose"})
        if (option == exact) return true;
    for (std::string_view sized : {"-Xmx", "-Xms", "-Xss"})
        if (starts_with(option, sized))
            return option.size() > 4 && option.find_first_not_of("0123456789kKmMgG", 4) == std::string_view::npos;
    for (std::string_view prefix : {"-Xrun", "-XX:", "-agentlib:", "-agentpath:", "-javaagent:", "-D"})
        if (starts_with(option, prefix)) return true;
    return false;
}

// System properties; as in Java, the last definition of a name wins.
struct properties {
    std::vector<std::pair<std::string, std::string>> entries;

    void add_if_property(std::string_view option) {
        if (!starts_with(option, "-D")) return;
        option.remove_prefix(2);
        auto eq = option.find('=');
        entries.emplace_back(option.substr(0, eq), eq == std::string_view::npos ? "" : option.substr(eq + 1));
    }
    std::optional<std::string> get(std::string_view name) const {
        std::optional<std::string> value;
        for (auto& [key, v] : entries)
            if (key == name) value = v;
        return value;
    }
};

// What a stand-in saw, one line per write to a file opened for appending: lines survive an abrupt end
// of the process, and the processes of a relay share the file. A process that finds the file not
// empty starts its part with a line "---".
class record_file {
public:
    void open(const std::wstring& path, std::string_view who) {
        HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) die(std::string(who) + ": cannot open record file " + to_utf8(path));
        handle_ = file;
        LARGE_INTEGER size{};
        if (GetFileSizeEx(handle_, &size) && size.QuadPart > 0) line("---");
    }
    void line(std::string_view text) {
        if (!handle_) return;
        std::string out = std::string(text) + "\n";
        DWORD written = 0;
        WriteFile(handle_, out.data(), DWORD(out.size()), &written, nullptr);
    }
    void value(std::string_view key, std::string_view text) { line(std::string(key) + "=" + std::string(text)); }

private:
    HANDLE handle_ = nullptr;  // open until the process ends
};

// The variables the program sets or clears for the Java side, and those a test names in `extra`
// (comma-separated), each recorded when it is set.
inline void record_environment(record_file& record, const std::string& extra) {
    std::vector<std::string> names{"AGENT_HOME", "AGENT_BIN_HOME", "JAVA_HOME", "PATH", "QUENDA_SERVICE_NAME",
                                   "UPGRADE_SET_AGENT_HOME", "UPGRADE_JAVA_OPTS", "UPGRADE_PARENT_HANDLE"};
    std::istringstream list(extra);
    for (std::string name; std::getline(list, name, ',');) names.push_back(name);
    for (auto& name : names)
        if (auto value = find_env(to_wide(name))) record.value("env." + name, to_utf8(*value));
}

inline std::string current_directory() {
    std::wstring dir(GetCurrentDirectoryW(0, nullptr), L'\0');
    dir.resize(GetCurrentDirectoryW(DWORD(dir.size()), dir.data()));
    return to_utf8(dir);
}

inline bool file_exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace stub
