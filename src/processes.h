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

// Starts a child with this process's standard input and error and `output` (an inheritable handle)
// as its standard output, or NUL when `output` is empty. environment: as for create_process.
// directory: the child's current directory; empty means this process's.
shared_handle create_process_with_standard_handles(const std::wstring& command_line,
                                                   const std::vector<std::wstring>& environment,
                                                   const shared_handle& output, const std::wstring& directory = L"");

// A pipe this process reads from, for what a child writes. A writer is handed a write end, or opens
// the pipe by its name itself (as cmd.exe does for a redirection such as 1>"\\.\pipe\..."): then no
// write end exists before it connects, and none can pass to the processes started before. The name
// is random; the pipe takes one writer, of this machine only.
class output_pipe {
public:
    output_pipe();
    output_pipe(const output_pipe&) = delete;
    output_pipe& operator=(const output_pipe&) = delete;

    const std::wstring& name() const { return name_; }
    // An inheritable write end, for a child's standard output.
    shared_handle open_write_end() const;
    // Appends what is written until the last write end is closed. A write end can outlive `writer` in
    // a process that inherited it, so reading also ends once `writer` has ended and nothing written
    // is left unread.
    void read_all(const shared_handle& writer, std::vector<char>& output);

private:
    // Completes the pending connection or read; false when it ended without result (the writer
    // ended first, or the pipe was closed).
    bool complete(OVERLAPPED& overlapped, const shared_handle& writer, DWORD& count);

    std::wstring name_;
    shared_handle read_end_;
    shared_handle event_;
};

// STILL_ACTIVE (259) while the process runs.
DWORD get_exit_code(const shared_handle& process);
// Milliseconds since 1970-01-01 00:00 UTC.
std::int64_t get_process_creation_time(const shared_handle& process);
