#pragma once
// One log line on stderr, "corvflt: " + message, written whole so that lines from the I/O,
// control and link-watch threads never interleave.

#include <cstdarg>

namespace corvflt::linux_host {

[[gnu::format(printf, 1, 2)]] void log_line(const char* format, ...);

}  // namespace corvflt::linux_host
