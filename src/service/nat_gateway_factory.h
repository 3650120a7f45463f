#pragma once
// Creates the gateway of mode nat for the service worker.

#include "service/gateway.h"

#include <memory>
#include <string>

namespace service {

// Throws std::runtime_error (with the reason as its text) when the gateway cannot work at
// all, as the gateway's constructor does.
std::unique_ptr<gateway> create_nat_gateway(const std::string& adapter_name, log_printer printer, log_level level,
                                            proxy_event_callback handler);

}  // namespace service
