#include "service/nat_gateway_factory.h"

#include <stdexcept>

namespace service {

// The NAT gateway is not part of this build yet. Throwing sends the worker down its path for
// a gateway that cannot be created: it logs, runs without a gateway and still stops cleanly.
std::unique_ptr<gateway> create_nat_gateway(const std::string&, log_printer, log_level, proxy_event_callback)
{
    throw std::runtime_error("NAT gateway not built yet");
}

}  // namespace service
