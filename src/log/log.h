#pragma once
// The logging vocabulary every component shares: the level it is given and the callback it
// logs through. The sink that writes the lines (service/logging.h) sits above; nat/, proxy/
// and dns/ only ever see this header.

#include <cstdint>
#include <functional>
#include <string_view>

// How much a component writes. Components compare before building any text, so that at
// `none` no line is ever formatted, not even on packet paths.
enum class log_level : std::uint32_t {
    none = 0,
    info = 1,   // start, stop and failures
    debug = 2,  // table and state changes
    all = 3,    // every packet and connection; also turns on packet capture
};

// Where a component's lines go. Called from any thread; must not be called with a lock of
// the component held that the sink could wait on (the sink only takes its own mutex).
using log_printer = std::function<void(const char*)>;

// Reads the value of the "-log-level" option: "none", "info", "debug" or "all" in any
// letter case. Returns false and leaves `level` as it was for any other word, so a typo
// keeps the previous level instead of silencing the log.
bool parse_log_level(std::string_view text, log_level& level);

// The component log method shared by every logging class: prefix (for example
// "tcp_proxy_server: ") followed by the message, handed to `printer` when it is set.
// Callers gate on their level first; this only builds the text.
void log_with_prefix(const log_printer& printer, const char* prefix, std::string_view message);
