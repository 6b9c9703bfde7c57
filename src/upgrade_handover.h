#pragma once
// The receiving side of the upgrade relay: a process started by a predecessor waits for its end.

#include <windows.h>

#include <string>

// True when UPGRADE_PARENT_HANDLE named a predecessor and that process has now ended.
bool wait_for_upgrade_parent_termination();
// For the command an upgrade restarts: waits as above, then removes the executable copy in var that
// the relay ran from, and its symbol file.
void finish_upgrade_handover();
// The handle value a predecessor wrote as unsigned decimal text.
HANDLE convert_string_to_system_handle(const std::wstring& text);
// Starts the installed executable with the mode and its arguments, as the relay's last step.
void restart_after_upgrade(int argc, wchar_t** argv);
