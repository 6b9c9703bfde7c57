// The version banner: product, home, service name, build, source revision and the executable's digest.

#include "version_banner.h"

#include <cstdio>
#include <vector>

#include "agent.h"
#include "agent_home.h"
#include "agent_revision.h"
#include "fileio.h"
#include "services.h"
#include "sha256.h"

const std::wstring& get_product_name() {
    static const std::wstring* const name = new std::wstring(L"Olvar Tesk Agent");
    return *name;
}

const std::wstring& get_build_life_id() {
    static const std::wstring* const id = new std::wstring(AGENT_BUILD_LIFE_ID);
    return *id;
}

const std::wstring& get_git_rev_id() {
    static const std::wstring* const id = new std::wstring(AGENT_GIT_REV_ID);
    return *id;
}

namespace {

std::wstring hash_running_exe() {
    file_handle file = file_handle::open_read(get_running_exe_path());
    hasher digest;
    std::vector<char> chunk(4096);
    for (std::int32_t count; (count = file.read(chunk.data(), chunk.size())) != -1;)
        digest.update(chunk.data(), static_cast<std::uint32_t>(count));
    return to_hex(digest.finish());
}

}  // namespace

const std::wstring& get_exe_hash() {
    static const std::wstring* const hash = new std::wstring(hash_running_exe());
    return *hash;
}

void print_version_and_usage(int, wchar_t**) {
    // Every value is computed before anything is written: a failure leaves no half banner behind.
    std::wstring banner = format_text(
        L"%s\n  agent_home=%s\n  service_name=%s\n  build_life_id=%s\n  git_rev_id=%s\n  exe_hash=%s\n"
        L"Usage: agent run|start|stop|install-service|uninstall-service\n",
        get_product_name(), get_agent_home(), get_service_name(), get_build_life_id(), get_git_rev_id(),
        get_exe_hash());
    std::fputws(banner.c_str(), stderr);
    exit_process(1);
}
