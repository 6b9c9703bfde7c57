#pragma once
// Every path under the agent home; no other unit composes one.

#include <string>

const std::wstring& get_running_exe_path();
const std::wstring& get_agent_home();
