#pragma once
// Creates the gateway of mode proxy for the service worker.

#include "service/gateway.h"
#include "net/ip_address.h"

#include <memory>
#include <string>
#include <vector>

namespace service {

// Throws std::runtime_error when the gateway cannot work at all. An empty `dns_servers` lets
// the gateway find the host's servers.
std::unique_ptr<gateway> create_proxy_gateway(const std::string& adapter_name, log_printer printer, log_level level,
                                              proxy_event_callback handler,
                                              const std::vector<net::ip_address_any>& dns_servers);

}  // namespace service
