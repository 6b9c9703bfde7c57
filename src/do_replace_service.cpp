// "_check_replace_service" and "_replace_service": the replacement of an older service of this home.

#include <cstdio>

#include "agent.h"
#include "commands.h"
#include "service_replacement_operation.h"

void do_check_replace_service(int, wchar_t**) {
    service_replacement_operation operation;
    std::fputws(format_text(L"%d\n", operation.status()).c_str(), stdout);
}

void do_replace_service(int, wchar_t**) {
    service_replacement_operation operation;
    std::int32_t code = operation.status();
    if (code != replaceable_running && code != replaceable_not_running) {
        std::fputws(format_text(L"service not replaceable: %d\n", code).c_str(), stderr);
        exit_process(1);
    }
    operation.replace_service();
}
