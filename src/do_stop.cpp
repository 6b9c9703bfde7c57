// "stop" and "_restart": a running agent is only ever asked to stop through the shutdown marker.

#include "agent.h"
#include "agent_home.h"
#include "command_table.h"
#include "commands.h"
#include "process_ancestry.h"

void do_stop(int, wchar_t**) { request_shutdown(); }

void do_restart(int argc, wchar_t** argv) {
    std::wstring word = argc > 0 ? argv[0] : L"";
    const command_entry* entry = find_command(word);
    if (entry != nullptr) entry->stream_setup();
    log_app_startup();
    request_shutdown();
    // A parent that is still there after three seconds, or that we may not open, gets three more.
    if (!wait_for_parent_exit(3000)) Sleep(3000);
    run_command(entry, argc, argv);
}
