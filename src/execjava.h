#pragma once
// The one way the Java agent runs in this process.

#include <string>
#include <vector>

// Sets the agent's environment and working directory, composes the JVM options for the mode
// ("run", "start", "_testjvm" or "_service"), runs the launcher's main and destroys the VM.
void execjava(const std::wstring& mode, bool debug, const std::vector<std::wstring>& extra_options);

// The option list and class path execjava hands to the VM; separate so that tests can check them.
struct java_launch {
    std::vector<std::wstring> options;
    std::vector<std::wstring> class_path;
};
java_launch compose_java_launch(const std::wstring& mode, bool debug, const std::vector<std::wstring>& extra_options);
