// "_testjvm": the agent in self-test mode, with the two handshake values from its command line.

#include "agent.h"
#include "commands.h"
#include "execjava.h"
#include "load_environment_defined_in_set_env_script.h"

void do_testjvm(int argc, wchar_t** argv) {
    load_environment_defined_in_set_env_script();
    // The values are handed on untouched; logs show the secret only masked.
    std::wstring secret = std::wstring(L"-Dtestjvm.secret=") + (argc > 0 ? argv[0] : L"");
    std::wstring verify = std::wstring(L"-Dtestjvm.verifyId=") + (argc > 1 ? argv[1] : L"");
    try {
        execjava(L"_testjvm", false, {secret, verify});
    } catch (const jvm_not_found_exception& e) {
        exit_for_missing_jvm(e, AGENT_HERE);
    }
}
