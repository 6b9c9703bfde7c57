// Entry point: one process runs one command word.

#include <exception>

#include "agent.h"
#include "command_table.h"

int wmain(int argc, wchar_t** argv) {
    try {
        set_program_arguments(argc, argv);
        std::wstring word = argc > 1 ? argv[1] : L"";
        const command_entry* entry = find_command(word);
        if (entry != nullptr) entry->stream_setup();
        // "_restart" writes the record itself, once it has set up the streams of the command it re-runs.
        if (!equals_ignore_case(word, L"_restart")) log_app_startup();
        run_command(entry, argc - 1, argv + 1);
    } catch (...) {
        log_current_exception_and_exit(AGENT_HERE);
    }
    exit_process(1);
}
