#include "service/proxy_gateway_factory.h"

#include "proxy/wintun_proxy_gateway.h"

namespace service {
namespace {

// The worker's view of the proxy gateway, which already has the start/stop contract.
class proxy_gateway final : public gateway {
public:
    proxy_gateway(const std::string& adapter_name, log_printer printer, log_level level, proxy_event_callback handler,
                  const std::vector<net::ip_address_any>& dns_servers)
        : gateway_(adapter_name, std::move(printer), level, handler, dns_servers)
    {
    }
    bool start() override { return gateway_.start(); }
    bool stop() override { return gateway_.stop(); }

private:
    proxy::wintun_proxy_gateway gateway_;
};

}  // namespace

// The gateway's constructor throws when the driver, a local server or the DNS forwarder
// cannot be had; the worker logs that and runs without a gateway.
std::unique_ptr<gateway> create_proxy_gateway(const std::string& adapter_name, log_printer printer, log_level level,
                                              proxy_event_callback handler,
                                              const std::vector<net::ip_address_any>& dns_servers)
{
    return std::make_unique<proxy_gateway>(adapter_name, std::move(printer), level, handler, dns_servers);
}

}  // namespace service
