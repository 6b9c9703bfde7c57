#pragma once
// Brings the environment that bin\set_env.cmd (and tool_env.cmd) define into this process.

#include <cstddef>
#include <string>
#include <vector>

void load_environment_defined_in_set_env_script();

// How the interpreter is started, in the bin directory, for the generated script at `script_path`
// (a path under the agent home).
std::wstring environment_script_command_line(const std::wstring& script_path);

// A dump is complete when it holds whole UTF-16 units and ends with its block terminator.
bool is_complete_environment_dump(const std::vector<char>& dump);

// The dump as a block SetEnvironmentStringsW accepts: per-drive "=X:" entries are dropped,
// because some systems refuse them there and the program's own environment lists skip them too.
std::wstring environment_block_from_dump(const std::vector<char>& dump);
