#include "service/nat_gateway_factory.h"

#include "nat/wintun_nat_gateway.h"

namespace service {
namespace {

// The worker's view of the NAT gateway: the gateway already has the start/stop contract
// the worker needs, so this only forwards.
class nat_gateway final : public gateway {
public:
    nat_gateway(const std::string& adapter_name, log_printer printer, log_level level, proxy_event_callback handler)
        : gateway_(adapter_name, std::move(printer), level, handler)
    {
    }
    bool start() override { return gateway_.start(); }
    bool stop() override { return gateway_.stop(); }

private:
    nat::wintun_nat_gateway gateway_;
};

}  // namespace

// The gateway's constructor throws when the driver cannot be opened; the worker logs that and
// runs without a gateway.
std::unique_ptr<gateway> create_nat_gateway(const std::string& adapter_name, log_printer printer, log_level level,
                                            proxy_event_callback handler)
{
    return std::make_unique<nat_gateway>(adapter_name, std::move(printer), level, handler);
}

}  // namespace service
