#include "service/proxy_gateway_factory.h"

namespace service {

// No proxy gateway in this build: the worker reports that it could not create one.
std::unique_ptr<gateway> create_proxy_gateway(const std::string&, log_printer, log_level, proxy_event_callback,
                                              const std::vector<net::ip_address_any>&)
{
    return nullptr;
}

}  // namespace service
