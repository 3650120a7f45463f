#include "service/program.h"

#include "platform/console.h"
#include "platform/instance_lock.h"
#include "service/corvane_service.h"
#include "service/install_options.h"
#include "service/installer.h"
#include "service/logging.h"
#include "service/service_names.h"
#include "service/service_text.h"

#include <thread>

namespace service {

const char* const usage_parts[9] = {
    "\nCorvane Windows Service\n\n",
    "Parameters:\n\n",
    " install [-start-type <2..4> -account <account-name> -password <account-password> -mode <nat | proxy> "
    "-interface <adapter-name> -log-level <none | info | debug | all>]\n  - to install the service.\n",
    "    service start types are:\n",
    "     2 - service started automatically by the service control manager during system startup.\n",
    "     3 - service started manually or by calling StartService function from another process.\n",
    "     4 - service installed in the \"disabled\" state, and cannot be started until enabled.\n",
    " run [-mode <nat | proxy> -interface <adapter-name> -log-level <none | info | debug | all>]\n"
    "  - to start as a regular process (not a service)\n",
    " uninstall\n  - to remove the service.\n",
};

namespace {

int install_command(const std::vector<std::string>& arguments)
{
    install_options options;
    try {
        options = parse_install_options(arguments);
    } catch (const install_option_error& e) {
        platform::write_console(std::string("Couldn't install service: ") + e.what());
        return 1;
    }
    auto installer = platform::make_system_service_installer();
    install_service(*installer, platform::write_console, options.start_type, options.account, options.password,
                    options.command_line, log_folder_path());
    return 0;
}

int uninstall_command()
{
    auto installer = platform::make_system_service_installer();
    uninstall_service(*installer, platform::write_console,
                      [](std::chrono::milliseconds period) { std::this_thread::sleep_for(period); });
    return 0;
}

int service_command(const std::vector<std::string>& arguments)
{
    corvane_service service(arguments);
    std::uint32_t error = 0;
    if (!CServiceBase::RunDispatcher(service, error)) {
        platform::write_console(format_text("Service failed to run with error code: 0x%08lx\n",
                                            static_cast<unsigned long>(error)));
        return static_cast<int>(error);
    }
    return 0;
}

int run_command(const std::vector<std::string>& arguments)
{
    corvane_service service(arguments);
    // Ctrl+C ends the run the way a service stop does: the worker sees the flag within its
    // poll period, stops the gateway and returns.
    platform::set_console_stop_flag(&service.stopping_flag());
    service.StartHook({});
    platform::set_console_stop_flag(nullptr);
    return 0;
}

}  // namespace

int run_program(const std::vector<std::string>& arguments)
{
    platform::instance_lock guard(instance_mutex_name);
    if (guard.state() == platform::instance_lock_state::held_elsewhere) {
        platform::write_console("Corvane Service is running already. Exit the second instance\r\n");
        return 0;
    }
    if (arguments.size() < 2) {
        for (const char* part : usage_parts)
            platform::write_console(part);
        return 0;
    }
    const std::string& command = arguments[1];
    if (equals_ignoring_case(command, "install"))
        return install_command(arguments);
    if (equals_ignoring_case(command, "uninstall"))
        return uninstall_command();
    if (equals_ignoring_case(command, "service"))
        return service_command(arguments);
    if (equals_ignoring_case(command, "run"))
        return run_command(arguments);
    platform::write_console(format_text("Unknown parameter: %s\n", command.c_str()));
    return 0;
}

}  // namespace service
