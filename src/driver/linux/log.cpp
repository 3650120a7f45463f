#include "driver/linux/log.h"

#include <unistd.h>

#include <cstdio>

namespace corvflt::linux_host {

void log_line(const char* format, ...)
{
    char line[1024];
    int n = std::snprintf(line, sizeof line, "corvflt: ");
    va_list args;
    va_start(args, format);
    const int m = std::vsnprintf(line + n, sizeof line - static_cast<unsigned>(n) - 1, format, args);
    va_end(args);
    n = m < 0 ? n : n + m;
    if (n > static_cast<int>(sizeof line) - 2)
        n = static_cast<int>(sizeof line) - 2;
    line[n++] = '\n';
    // One write per line: stderr is unbuffered and may be shared with a test harness.
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line, static_cast<size_t>(n));
}

}  // namespace corvflt::linux_host
