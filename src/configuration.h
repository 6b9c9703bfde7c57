#pragma once
// conf\agent\javahome.conf and conf\agent\javaopts.conf, read anew by every caller.

#include <string>
#include <vector>

// TESTJVM_JAVA_HOME wins; otherwise the trimmed first line of javahome.conf.
std::wstring load_java_home();
// The non-blank lines of javaopts.conf, trimmed, in file order.
std::vector<std::wstring> load_java_opts();
