#pragma once
// The "install" and "uninstall" console operations: register the service with the system's
// service manager, or stop and remove it, printing every step's failure with its code.

#include "platform/service_installer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace service {

using console_writer = std::function<void(std::string_view)>;
using sleeper = std::function<void(std::chrono::milliseconds)>;

// `argument_text` is the stored command line ("service ..."). Prints
// "corvane-service is installed.\n" on success. Once the service exists, also creates
// `log_folder` (if any), where the service's log file goes: without it the service would
// log nowhere. A failure there is printed; the service stays installed.
void install_service(platform::service_installer& installer, const console_writer& out, std::uint32_t start_type,
                     const std::string& account, const std::optional<std::string>& password,
                     const std::string& argument_text, const std::optional<std::string>& log_folder);

// Stops the service if it runs (polling once a second through `sleep`), deletes it and its
// event-log key.
void uninstall_service(platform::service_installer& installer, const console_writer& out, const sleeper& sleep);

}  // namespace service
