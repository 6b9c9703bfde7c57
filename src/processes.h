#pragma once
// Starting child processes with exactly the handles named for them, and reading their results.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "system_handles.h"

// One argument as the child's argument parser (CommandLineToArgvW rules) will read it back.
std::wstring quote_argument(const std::wstring& argument);
// The program and each argument quoted as needed, separated by single blanks.
std::wstring build_command_line(const std::wstring& program, const std::vector<std::wstring>& arguments);

// Starts a child and returns its process handle without waiting.
// environment: NAME=value entries; empty means the child inherits this process's environment.
// inherit: the only handles the child inherits (each must be an inheritable handle, none twice).
// output_path: when not empty, the child reads "NUL" and writes standard output and error to this
// file, which is created or truncated.
// detached: the child gets no console.
shared_handle create_process(const std::wstring& command_line, const std::vector<std::wstring>& environment,
                             const std::vector<shared_handle>& inherit, const std::wstring& output_path,
                             bool detached);

// Starts a child whose standard output is a pipe, appends everything it writes there to output and
// returns once the output has ended (the child may still be running). Its standard input and error
// are this process's own. environment: as for create_process.
shared_handle create_process_with_output(const std::wstring& command_line, std::vector<char>& output,
                                         const std::vector<std::wstring>& environment = {});

// STILL_ACTIVE (259) while the process runs.
DWORD get_exit_code(const shared_handle& process);
// Milliseconds since 1970-01-01 00:00 UTC.
std::int64_t get_process_creation_time(const shared_handle& process);
