#pragma once
// What the service worker needs of a gateway, whichever mode it runs: start, stop and its
// state changes as proxy_event values. The NAT and proxy gateways are wrapped behind this
// by their factory functions (nat_gateway_factory.h, proxy_gateway_factory.h).

#include "log/gateway_events.h"
#include "log/log.h"

#include <memory>

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
