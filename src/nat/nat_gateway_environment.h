#pragma once
// What the NAT gateway takes from its host, gathered so that tests can stand in for each
// part: the driver's control device, the interface facts and change notifications, the wall
// clock of the tables, the probe datagram, IP forwarding and the OS version check. Every
// member left empty means "the real system".

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "nat/nat_clock.h"
#include "net/interface_change_subscription.h"
#include "net/network_interfaces.h"
#include "platform/control_device.h"
#include "platform/udp_datagram.h"

namespace nat {

struct nat_gateway_environment {
    // Opens the driver's control device; empty: "\\.\CORVFLT".
    std::function<std::unique_ptr<platform::control_device>()> open_device;
    // Interface records and route look-ups; null: the system's. Must outlive the gateway.
    net::interface_source* interfaces = nullptr;
    // Interface-change registration; null: the system's. Must outlive the gateway.
    const net::interface_change_notifier* notifier = nullptr;
    // The tables' clock; null: the wall clock.
    std::shared_ptr<const nat_clock> clock;
    // Sends the 7-byte probe to 1.1.1.1:53; empty: a real UDP datagram. Called under the
    // gateway's state lock from start or the watchdog.
    std::function<platform::udp_send_result()> send_probe;
    // IP forwarding on (answer 997 = requested) and off; empty: platform::ip_forwarding_request.
    std::function<std::uint32_t()> enable_router;
    std::function<std::uint32_t()> unenable_router;
    // Whether the system can route WAN links itself (Windows 6.1 or later); empty: ask it.
    std::function<bool()> forced_routing_supported;
    // The capture file written at log level all.
    std::string capture_file = "wintun_nat_gateway.pcap";
};

}  // namespace nat
