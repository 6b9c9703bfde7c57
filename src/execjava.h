#pragma once
// The one way the Java agent runs in this process.

#include <string>
#include <vector>

#include "agent.h"

// Sets the agent's environment and working directory, composes the JVM options for the mode
// ("run", "start", "_testjvm" or "_service"), runs the launcher's main and destroys the VM.
void execjava(const std::wstring& mode, bool debug, const std::vector<std::wstring>& extra_options);

// The option list and class path execjava hands to the VM; separate so that tests can check them.
struct java_launch {
    std::vector<std::wstring> options;
    std::vector<std::wstring> class_path;
};
java_launch compose_java_launch(const std::wstring& mode, bool debug, const std::vector<std::wstring>& extra_options);

// How the commands that run the agent report a missing runtime: the whole exception at DEBUG, then
// one ERROR line naming the Java home, and exit code 1. `site` is the reporting command's.
[[noreturn]] void exit_for_missing_jvm(const jvm_not_found_exception& exception, const source_site& site);
