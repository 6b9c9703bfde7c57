// "install-service": registers this installation's service unless it exists.

#include "agent.h"
#include "commands.h"
#include "services.h"

namespace {

struct install_service_args {
    std::wstring start;
    std::wstring user;
    std::wstring password;
};

// True when `argument` begins with `prefix` (letter case significant); `value` then takes the rest.
bool take_option(const std::wstring& argument, const std::wstring& prefix, std::wstring& value) {
    if (argument.compare(0, prefix.size(), prefix) != 0) return false;
    value = argument.substr(prefix.size());
    return true;
}

bool is_start_mode(const std::wstring& mode) {
    return mode.empty() || mode == L"auto" || mode == L"manual" || mode == L"delayed" || mode == L"disabled";
}

// A repeated option replaces the earlier value; an option with nothing after "=" sets the empty value.
install_service_args parse_install_service_args(int argc, wchar_t** argv) {
    install_service_args args;
    for (int i = 0; i < argc; ++i) {
        std::wstring argument = argv[i];
        // Log files outlive the installation and are read by others: the password never goes there.
        std::wstring shown = redact_secret_argument(argument, i > 0 ? argv[i - 1] : nullptr);
        LOG_DEBUG(L"arg=[%s]", shown);
        if (take_option(argument, L"--start=", args.start)) {
            if (!is_start_mode(args.start)) LOG_AND_EXIT(L"ERROR", false, L"Invalid argument: arg=[%s]", shown);
            LOG_DEBUG(L"start=[%s]", args.start);
        } else if (take_option(argument, L"--user=", args.user)) {
            LOG_DEBUG(L"user=[%s]", args.user);
        } else if (take_option(argument, L"--password=", args.password)) {
            LOG_DEBUG(L"password=[%s]", redact_secret(args.password));
        } else {
            LOG_AND_EXIT(L"ERROR", false, L"Invalid argument: arg=[%s]", shown);
        }
    }
    return args;
}

}  // namespace

void do_install_service(int argc, wchar_t** argv) {
    install_service_args args = parse_install_service_args(argc, argv);
    try {
        service_handle_ptr manager = open_service_manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
        try {
            service_handle_ptr existing =
                open_service(manager, get_service_name(), SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
            // Deleted while something held it open: it goes when that closes, and cannot be installed before.
            if (is_marked_for_deletion(existing))
                LOG_AND_EXIT(L"ERROR", false,
                             L"Unable to install service: the service is marked for deletion: service=[%s]. Close what "
                             L"holds it open (the Services console, Event Viewer, a program querying it), then install "
                             L"again.",
                             get_service_name());
            LOG_INFO(L"Service already installed: service=[%s]", get_service_name());
            return;
        } catch (const service_does_not_exist_exception&) {
        }
        install_application_service(manager, args.start, args.user, args.password);
    } catch (const access_denied_exception&) {
        LOG_AND_EXIT(L"ERROR", false, L"Unable to install service: access denied. You may need elevated permissions.");
    }
}
