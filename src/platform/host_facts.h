#pragma once
// Facts about the host that the portable code asks for. One header, one backend per OS.

#include <ctime>
#include <optional>
#include <string>

namespace platform {

// The machine-wide application data folder, without a trailing separator.
// Windows: the shell's common application data folder (CSIDL_COMMON_APPDATA).
// Linux: $CORVANE_APP_DATA_DIR when set (tests point it at a folder of their own), else
// "/var/lib". Empty when the system cannot say.
std::optional<std::string> common_app_data_folder();

// True when the process's standard error is connected to the system journal, so that what
// it writes there is kept with the service's other records. Linux: systemd says so in
// $JOURNAL_STREAM ("device:inode" of the stream it connected), which must name the file
// standard error is now (a child that inherited the variable with another standard error
// is not connected). Windows: never (the service's log goes to its file).
bool standard_error_is_system_journal();

// The separator of path components on this platform ('\\' on Windows, '/' on Linux).
char path_separator();

// Local calendar time of `t`; false when the conversion fails.
bool to_local_time(std::time_t t, std::tm& out);

}  // namespace platform
