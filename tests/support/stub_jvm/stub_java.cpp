// java.exe stand-in: runs the agent's upgrader archive and its environment printer the way the real
// launcher is asked to, and records how it was started; see README.md.
#include "stub_common.h"

namespace {

using namespace stub;

record_file record;

// The "archive" is a text file of key=value lines; a missing one means a quiet success.
int run_upgrader(const std::wstring& jar) {
    print_out("stub upgrader: stdout jar=" + to_utf8(jar));
    print_err("stub upgrader: stderr");
    record.value("jar", to_utf8(jar));
    long status = 0;
    bool delete_jar = false;
    HANDLE file = CreateFileW(jar.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char buffer[256] = {};
        DWORD got = 0;
        ReadFile(file, buffer, sizeof buffer - 1, &got, nullptr);
        CloseHandle(file);
        for (std::string_view rest = buffer; !rest.empty();) {
            std::string line(rest.substr(0, rest.find('\n')));
            rest.remove_prefix(std::min(rest.size(), line.size() + 1));
            if (starts_with(line, "exit=") && parse_long(line.substr(5))) status = *parse_long(line.substr(5));
            else if (line == "delete.jar=yes") delete_jar = true;
            else if (!line.empty()) die("stub upgrader: bad line in " + to_utf8(jar) + ": " + line);
        }
    }
    if (delete_jar && DeleteFileW(jar.c_str())) record.line("jar.deleted");
    return int(status);
}

int run(int argc, wchar_t** argv) {
    properties props;
    std::optional<std::wstring> jar, main_class;
    for (int i = 1; i < argc && !jar && !main_class; ++i) {
        std::wstring_view arg = argv[i];
        std::string text = to_utf8(arg);
        if (arg == L"-jar" || arg == L"-cp") {
            if (i + 1 >= argc) die("Error: " + text + " requires an argument");
            if (arg == L"-jar") jar = argv[i + 1];
            ++i;
        } else if (arg.empty() || arg[0] != L'-') {
            main_class = arg;
        } else if (is_known_dash_option(text)) {
            props.add_if_property(text);
        } else {
            print_err("Unrecognized option: " + text);
            print_err("Error: Could not create the Java Virtual Machine.");
            return 1;
        }
    }
    if (auto home = find_env(L"AGENT_HOME"); home && !home->empty())
        record.open(*home + L"\\var\\stub-java.record", "stub java");
    record.value("pid", std::to_string(GetCurrentProcessId()));
    record.value("cmdline", to_utf8(GetCommandLineW()));
    record.value("cwd", current_directory());
    record_environment(record, props.get("stub.env").value_or(""));
    if (jar) return run_upgrader(*jar);
    record.value("main.class", to_utf8(main_class.value_or(L"")));
    if (main_class != L"com.brindle.quill.agent.PrintEnvironment") {
        print_err("Error: Could not find or load main class " + to_utf8(main_class.value_or(L"")));
        return 1;
    }
    // As System.getenv() shows it: the per-drive "=X:" entries are not variables.
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1)
        if (*entry != L'=') print_out(to_utf8(entry));
    FreeEnvironmentStringsW(block);
    // A failing Java side, as set_env.cmd can ask for it.
    return int(parse_long(to_utf8(find_env(L"STUB_JAVA_EXIT").value_or(L"0"))).value_or(0));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int status = run(argc, argv);
    record.value("exit.status", std::to_string(status));
    return status;
}
