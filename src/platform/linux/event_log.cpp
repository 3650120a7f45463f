#include "platform/event_log.h"

#include <syslog.h>

namespace platform {

bool report_event(const std::string& source, std::uint16_t type, std::uint16_t /*category*/,
                  std::uint32_t /*event_id*/, const std::vector<std::string>& strings)
{
    std::string text;
    for (const auto& s : strings) {
        if (!text.empty())
            text += ' ';
        text += s;
    }
    const int priority = type == event_type_error ? LOG_ERR : type == event_type_warning ? LOG_WARNING : LOG_INFO;
    // openlog keeps the identity pointer: `source` lives until closelog below.
    openlog(source.c_str(), LOG_PID, LOG_DAEMON);
    syslog(priority, "%s", text.c_str());
    closelog();
    return true;
}

}  // namespace platform
