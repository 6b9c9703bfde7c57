// The two configuration files of the agent home. There is no comment syntax: a line starting with
// "#" is an option like any other, as installers have always written them.

#include "configuration.h"

#include "agent.h"
#include "agent_home.h"
#include "environment.h"
#include "fileio.h"

std::wstring load_java_home() {
    std::wstring test_home = get_environment_variable(L"TESTJVM_JAVA_HOME", L"");
    if (!test_home.empty()) {
        LOG_DEBUG(L"Using alternative JAVA_HOME for JVM test: javahome=[%s]", test_home);
        return test_home;
    }
    file_reader reader(get_javahome_conf_path());
    bool at_end = false;
    std::wstring line = reader.read_line(at_end);
    if (at_end && line.empty()) LOG_AND_EXIT(L"ERROR", false, L"javahome.conf empty");
    trim(line);
    if (line.empty()) LOG_AND_EXIT(L"ERROR", false, L"javahome.conf blank");
    // No Windows path holds a double quote: a pair around the home only kept its blanks together.
    if (line.size() >= 2 && line.front() == L'"' && line.back() == L'"') return line.substr(1, line.size() - 2);
    return line;
}

std::vector<std::wstring> load_java_opts() {
    file_reader reader(get_javaopts_conf_path());
    std::vector<std::wstring> options;
    for (;;) {
        bool at_end = false;
        std::wstring line = reader.read_line(at_end);
        trim(line);
        if (!line.empty()) options.push_back(std::move(line));
        if (at_end) break;
    }
    return options;
}
