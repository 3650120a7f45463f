#pragma once
// A gateway's state changes as both gateways report them to the service worker.

#include <cstdint>

// A gateway's state change, sent from the gateway's own threads to the worker's handler.
struct proxy_event {
    std::uint32_t kind = 0;  // one of proxy_event_kind
    std::uint64_t value = 0;
};

namespace proxy_event_kind {
inline constexpr std::uint32_t started = 0;
inline constexpr std::uint32_t stopped = 1;
inline constexpr std::uint32_t filter_start_failed = 2;
}  // namespace proxy_event_kind

// A plain function, as the gateways take it; nullptr means "no handler".
using proxy_event_callback = void (*)(proxy_event);
