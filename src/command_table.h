#pragma once
// The command words of agent.exe and how each one prepares its streams.

#include <string>

using command_handler = void (*)(int argc, wchar_t** argv);
using stream_setup_function = void (*)();

struct command_entry {
    std::wstring name;
    command_handler handler;
    stream_setup_function stream_setup;

    // Runs the handler and ends the process with exit code 0 when it returns.
    [[noreturn]] void run(int argc, wchar_t** argv) const;
};

// The first entry whose name equals the word without regard to case, or null.
const command_entry* find_command(const std::wstring& word);
// argc/argv start at the command word.
[[noreturn]] void run_command(const command_entry* entry, int argc, wchar_t** argv);
