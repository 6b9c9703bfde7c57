// java.exe stand-in: runs the agent's upgrader archive and its environment printer the way the real
// launcher is asked to, and records how it was started; see README.md.
#include "stub_common.h"

namespace {

using namespace stub;

constexpr std::wstring_view environment_printer = L"com.brindle.quill.agent.PrintEnvironment";

record_file record;

[[noreturn]] void refuse_option(const std::string& option) {
    print_err("Unrecognized option: " + option);
    print_err("Error: Could not create the Java Virtual Machine.");
    print_err("Error: A fatal exception has occurred. Program will exit.");
    ExitProcess(1);
}

struct upgrader_script {
    long exit_status = 0;
    DWORD sleep_ms = 0;
    bool delete_jar = false;
};

// The "archive" is a text file of key=value lines; a missing or empty one means a quiet success.
upgrader_script read_upgrader_script(const std::wstring& jar) {
    upgrader_script s;
    unique_handle file(CreateFileW(jar.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        return s;
    }
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
    for (std::string_view rest = text; !rest.empty();) {
        auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        if (line.empty()) continue;
        auto eq = line.find('=');
        std::string_view key = line.substr(0, eq);
        auto number = eq == std::string_view::npos ? std::nullopt : parse_long(line.substr(eq + 1));
        if (key == "exit" && number) s.exit_status = *number;
        else if (key == "sleep.ms" && number && *number >= 0) s.sleep_ms = DWORD(*number);
        else if (line == "delete.jar=yes") s.delete_jar = true;
        else die("stub upgrader: bad line in " + to_utf8(jar) + ": " + std::string(line));
    }
    return s;
}

int run_upgrader(const std::wstring& jar) {
    print_out("stub upgrader: stdout jar=" + to_utf8(jar));
    print_err("stub upgrader: stderr");
    record.value("jar", to_utf8(jar));
    record.value("jar.exists", file_exists(jar) ? "yes" : "no");
    upgrader_script s = read_upgrader_script(jar);
    Sleep(s.sleep_ms);
    if (s.delete_jar && DeleteFileW(jar.c_str())) record.line("jar.deleted");
    return int(s.exit_status);
}

// As System.getenv() shows it: the per-drive "=X:" entries are not variables.
int print_environment() {
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1)
        if (*entry != L'=') print_out(to_utf8(entry));
    FreeEnvironmentStringsW(block);
    return 0;
}

int run(int argc, wchar_t** argv) {
    properties props;
    std::optional<std::wstring> jar, main_class;
    int i = 1;
    for (; i < argc && !jar && !main_class; ++i) {
        std::wstring_view arg = argv[i];
        std::string text = to_utf8(arg);
        if (arg == L"-jar" || arg == L"-cp" || arg == L"-classpath" || arg == L"--class-path") {
            if (i + 1 >= argc) {
                print_err("Error: " + text + " requires " + (arg == L"-jar" ? "jar file" : "class path") + " argument");
                return 1;
            }
            if (arg == L"-jar") jar = argv[i + 1];
            ++i;
        } else if (arg.empty() || arg[0] != L'-') {
            main_class = arg;
        } else if (is_known_dash_option(text)) {
            props.add_if_property(text);
        } else {
            refuse_option(text);
        }
    }
    props.reject_unknown_stub_settings({"record", "env"}, "stub java");
    if (auto path = props.get("stub.record")) record.open(to_wide(*path), "stub java");
    else if (auto home = find_env(L"AGENT_HOME"); home && !home->empty())
        record.open(*home + L"\\var\\stub-java.record", "stub java");
    record.value("pid", std::to_string(GetCurrentProcessId()));
    record.value("cmdline", to_utf8(GetCommandLineW()));
    for (int k = 1; k < argc; ++k) record.value("arg[" + std::to_string(k) + "]", to_utf8(argv[k]));
    record.value("cwd", current_directory());
    record_environment(record, split_list(props.get("stub.env").value_or("")));

    if (jar) return run_upgrader(*jar);
    if (!main_class) {
        print_err("Usage: java [options] <mainclass> [args...]");
        print_err("   or  java [options] -jar <jarfile> [args...]");
        return 1;
    }
    record.value("main.class", to_utf8(*main_class));
    if (*main_class == environment_printer) return print_environment();
    print_err("Error: Could not find or load main class " + to_utf8(*main_class));
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int status = run(argc, argv);
    record.value("exit.status", std::to_string(status));
    return status;
}
