#pragma once
// The system's event log, written by the service framework. One header, one backend per OS.
//
// Windows: RegisterEventSourceW(local computer, source), ReportEventW with the insertion
// strings and no user or binary data, DeregisterEventSource.
// Linux: syslog (facility daemon, identity `source`, with the process id): one record per
// event, its insertion strings joined by a space; entry type 1 (error) is LOG_ERR, 2
// (warning) LOG_WARNING, anything else LOG_INFO.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

inline constexpr std::uint16_t event_type_error = 1;
inline constexpr std::uint16_t event_type_warning = 2;
inline constexpr std::uint16_t event_type_information = 4;

// False when the source cannot be registered or the entry cannot be written.
bool report_event(const std::string& source, std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                  const std::vector<std::string>& strings);

}  // namespace platform
