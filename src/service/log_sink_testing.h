#pragma once
// Hooks for the log sink's own tests: they let one test process play several service starts
// against a folder of its choosing. The product never calls them; without them the sink
// takes the folder from the platform once per process.

#include <optional>
#include <string>

namespace log_sink_testing {

// Closes the log file and forgets that it was opened, as a new process would, and makes the
// next service-mode line open the log under `folder` (std::nullopt: as if the system could
// not name the application data folder).
void restart_with_folder(std::optional<std::string> folder);

// The same restart, back to the platform's folder.
void restart_with_platform_folder();

// The path the sink opens for a given application data folder.
std::string log_file_path(const std::optional<std::string>& folder);

}  // namespace log_sink_testing
