#pragma once
// What the service worker needs of a gateway, whichever mode it runs: start, stop and its
// state changes as proxy_event values. The NAT and proxy gateways are wrapped behind this
// by their factory functions (nat_gateway_factory.h, proxy_gateway_factory.h).

#include "service/logging.h"

#include <cstdint>
#include <memory>

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

namespace service {

// Owned by the service worker for one run: created, started, stopped and destroyed by it.
// Destruction waits for the gateway's threads.
class gateway {
public:
    virtual ~gateway() = default;
    // False when the gateway was started already.
    virtual bool start() = 0;
    // False when the gateway was not started.
    virtual bool stop() = 0;
};

}  // namespace service
