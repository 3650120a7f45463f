#pragma once
// Facts about the host that the portable code asks for. One header, one backend per OS.

#include <ctime>
#include <optional>
#include <string>

namespace platform {

// The machine-wide application data folder, without a trailing separator.
// Windows: the shell's common application data folder (CSIDL_COMMON_APPDATA).
// Linux: "/var/lib". Empty when the system cannot say.
std::optional<std::string> common_app_data_folder();

// The separator of path components on this platform ('\\' on Windows, '/' on Linux).
char path_separator();

// Local calendar time of `t`; false when the conversion fails.
bool to_local_time(std::time_t t, std::tm& out);

}  // namespace platform
