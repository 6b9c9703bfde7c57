// Pieces shared by the stand-in Java runtime (jvm.dll) and launcher (java.exe) used by the tests.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace stub {

struct handle_closer {
    void operator()(HANDLE h) const {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using unique_handle = std::unique_ptr<void, handle_closer>;

inline std::string to_utf8(std::wstring_view text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

inline std::wstring to_wide(std::string_view text) {
    if (text.empty()) return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size);
    return out;
}

// Output goes straight to the standard handles, as a Java runtime's own streams do: the host's C
// runtime may have put its streams into a wide-text mode that rejects narrow writes.
inline void write_line(DWORD which, std::string_view text) {
    std::string line(text);
    line += "\r\n";
    HANDLE h = GetStdHandle(which);
    DWORD written = 0;
    if (h != nullptr && h != INVALID_HANDLE_VALUE) WriteFile(h, line.data(), DWORD(line.size()), &written, nullptr);
}
inline void print_out(std::string_view text) { write_line(STD_OUTPUT_HANDLE, text); }
inline void print_err(std::string_view text) { write_line(STD_ERROR_HANDLE, text); }

// Test misconfiguration and host misuse end the process with a code no real program path uses.
constexpr UINT misuse_exit_code = 99;
[[noreturn]] inline void die(std::string_view message) {
    print_err(message);
    ExitProcess(misuse_exit_code);
}

// Scans the block rather than calling GetEnvironmentVariableW, which under Wine cannot tell a
// variable that is set but empty from one that is missing.
inline std::optional<std::wstring> find_env(std::wstring_view name) {
    std::optional<std::wstring> found;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; entry && *entry; entry += wcslen(entry) + 1) {
        std::wstring_view text(entry);
        auto eq = text.find(L'=', 1);
        if (eq == std::wstring_view::npos || eq != name.size()) continue;
        if (CompareStringOrdinal(entry, int(eq), name.data(), int(name.size()), TRUE) == CSTR_EQUAL) {
            found = std::wstring(text.substr(eq + 1));
            break;
        }
    }
    if (block) FreeEnvironmentStringsW(block);
    return found;
}

inline std::optional<long> parse_long(std::string_view text) {
    if (text.empty() || text.size() > 11) return std::nullopt;
    std::string copy(text);
    char* end = nullptr;
    long value = std::strtol(copy.c_str(), &end, 10);
    if (*end != '\0') return std::nullopt;
    return value;
}

inline bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

inline bool is_size_text(std::string_view text) {
    if (!text.empty() && std::string_view("kKmMgGtT").find(text.back()) != std::string_view::npos) text.remove_suffix(1);
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// The dash options a HotSpot runtime accepts in the forms the agent is started with; anything
// else must be refused, as the real runtime refuses it.
inline bool is_known_dash_option(std::string_view option) {
    for (std::string_view exact : {"-Xrs", "-Xint", "-Xcheck:jni", "-Xdebug", "-ea", "-da", "-esa", "-dsa",
                                   "-enableassertions", "-disableassertions", "-verbose"})
        if (option == exact) return true;
    for (std::string_view sized : {"-Xmx", "-Xms", "-Xss"})
        if (starts_with(option, sized)) return is_size_text(option.substr(sized.size()));
    for (std::string_view prefix : {"-Xrun", "-XX:", "-agentlib:", "-agentpath:", "-javaagent:", "-ea:", "-da:", "-verbose:"})
        if (starts_with(option, prefix)) return option.size() > prefix.size();
    return starts_with(option, "-D");
}

// System properties in definition order; as in Java, the last definition of a name wins.
struct properties {
    std::vector<std::pair<std::string, std::string>> entries;

    void add_if_property(std::string_view option) {
        if (!starts_with(option, "-D")) return;
        option.remove_prefix(2);
        auto eq = option.find('=');
        if (eq == std::string_view::npos) entries.emplace_back(option, "");
        else entries.emplace_back(option.substr(0, eq), option.substr(eq + 1));
    }
    std::optional<std::string> get(std::string_view name) const {
        std::optional<std::string> value;
        for (auto& [key, v] : entries)
            if (key == name) value = v;
        return value;
    }
    std::vector<std::string> get_all(std::string_view name) const {
        std::vector<std::string> values;
        for (auto& [key, v] : entries)
            if (key == name) values.push_back(v);
        return values;
    }
    // A misspelt stub setting would otherwise be ignored silently and the test would check the wrong thing.
    void reject_unknown_stub_settings(std::initializer_list<std::string_view> known, std::string_view who) const {
        for (auto& [key, v] : entries) {
            if (!starts_with(key, "stub.")) continue;
            bool ok = false;
            for (auto k : known) ok = ok || key.substr(5) == k;
            if (!ok) die(std::string(who) + ": unknown setting -D" + key);
        }
    }
};

// Append-only record of what a stub saw. Each line is one write to a file opened for appending,
// so lines survive an abrupt end of the process and several processes may share the file.
class record_file {
public:
    void open(const std::wstring& path, std::string_view who) {
        handle_.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (handle_.get() == INVALID_HANDLE_VALUE) {
            handle_.release();
            die(std::string(who) + ": cannot open record file " + to_utf8(path) + " (error " +
                std::to_string(GetLastError()) + ")");
        }
        LARGE_INTEGER size{};
        if (GetFileSizeEx(handle_.get(), &size) && size.QuadPart > 0) line("---");
    }
    bool is_open() const { return handle_ != nullptr; }
    void line(std::string_view text) {
        if (!is_open()) return;
        std::string out(text);
        out += '\n';
        std::lock_guard guard(lock_);
        DWORD written = 0;
        WriteFile(handle_.get(), out.data(), DWORD(out.size()), &written, nullptr);
    }
    void value(std::string_view key, std::string_view text) { line(std::string(key) + "=" + std::string(text)); }

private:
    unique_handle handle_;
    std::mutex lock_;
};

// Variables the program sets or clears for the Java side; recorded whenever they are set.
inline void record_environment(record_file& record, const std::vector<std::string>& extra) {
    std::vector<std::string> names{"AGENT_HOME", "AGENT_BIN_HOME", "JAVA_HOME", "PATH", "QUENDA_SERVICE_NAME",
                                   "UPGRADE_SET_AGENT_HOME", "UPGRADE_JAVA_OPTS", "UPGRADE_PARENT_HANDLE"};
    names.insert(names.end(), extra.begin(), extra.end());
    std::vector<std::string> done;
    for (auto& name : names) {
        if (name.empty() || std::find(done.begin(), done.end(), name) != done.end()) continue;
        done.push_back(name);
        if (auto value = find_env(to_wide(name))) record.value("env." + name, to_utf8(*value));
    }
}

inline std::vector<std::string> split_list(std::string_view text) {
    std::vector<std::string> items;
    while (!text.empty()) {
        auto comma = text.find(',');
        items.emplace_back(text.substr(0, comma));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return items;
}

inline std::string current_directory() {
    DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring dir(size, L'\0');
    dir.resize(GetCurrentDirectoryW(size, dir.data()));
    return to_utf8(dir);
}

inline bool file_exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace stub
