#pragma once
// The host's network interfaces as the gateways see them: one value record per interface
// (`interface_info`), the list of interfaces that can carry traffic
// (`get_network_interfaces`) and the interface the system routes a destination through
// (`get_best_interface`). Nothing is kept between calls: every lookup asks the system
// afresh through platform/interface_table.h, whose header says what each field holds on
// Linux.
//
// Errors follow the IP Helper convention the callers log with: a failed lookup leaves the
// system's error code as the thread's last error (platform/thread_error.h) and returns an
// empty or partial result; a successful one leaves 0. Nothing here logs.
//
// Reentrant: each call owns its buffers; any thread may call.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/ip_address.h"
#include "platform/inet_types.h"
#include "platform/interface_table.h"

namespace net {

// A gateway address (zero-padded socket-address storage, as the system gives it) and the
// gateway's MAC address, zero until resolved.
struct gateway_entry {
    sockaddr_storage address;
    std::uint8_t mac[6];

    gateway_entry() noexcept;
    explicit gateway_entry(const sockaddr_storage& gateway) noexcept;
};

// One network interface; an owning value type.
struct interface_info {
    std::uint32_t if_index = 0;       // IPv4 interface index
    std::uint32_t ipv6_if_index = 0;  // 0 when IPv6 is not enabled on it
    std::string adapter_name;         // "{GUID}" on Windows, "{ifname}" on Linux
    platform::interface_guid hardware_interface_guid;  // see hardware_physical_medium_type
    std::wstring description;
    std::wstring friendly_name;
    std::vector<sockaddr_storage> unicast_addresses;
    std::vector<sockaddr_storage> dns_server_addresses;
    std::vector<gateway_entry> gateways;
    std::uint8_t mac_address[6] = {};
    // The adapter MTU, saturated at 65535: an MTU this field cannot hold (64 KiB loopback-
    // style devices) reads as the largest one rather than as its low 16 bits (0).
    std::uint16_t mtu = 0;
    std::uint32_t if_type = 0;  // IANA type: 6 Ethernet, 23 PPP, 24 loopback, 71 802.11, ...
    std::uint64_t transmit_link_speed = 0;  // bits per second
    std::uint64_t receive_link_speed = 0;
    std::uint64_t luid = 0;
    std::uint32_t media_type = 0;            // NDIS medium
    std::uint32_t physical_medium_type = 0;  // NDIS physical medium
    // For an adapter of unspecified physical medium: the physical medium and GUID of the
    // connected hardware adapter with the same MAC address (the NIC under a virtual
    // switch or team); zero when there is none.
    std::uint32_t hardware_physical_medium_type = 0;
    // Carried with the record; no lookup fills them.
    std::uint16_t reserved_word = 0;
    std::uint8_t reserved_bytes[6] = {};
};

// Where the lookups read the system's facts. The default reads the real system; tests
// hand in their own tables.
class interface_source {
public:
    virtual ~interface_source() = default;
    virtual std::uint32_t read_interface_table(std::vector<platform::interface_row>& rows) = 0;
    virtual std::uint32_t read_adapter_addresses(std::vector<platform::adapter_entry>& adapters) = 0;
    virtual std::uint32_t resolve_neighbour(const sockaddr_storage& address, std::uint64_t luid,
                                            std::uint8_t (&mac)[6]) = 0;
    virtual std::uint32_t best_interface(const sockaddr_storage& destination,
                                         std::uint32_t& if_index) = 0;
};

interface_source& system_interface_source();

// The interfaces that are up, not loopback and hold at least one unicast address, in the
// system's order. Gateways of Ethernet and 802.11 interfaces get their MACs resolved; a
// gateway that cannot be resolved keeps a zero MAC (its error is left as the last error)
// and the record is still returned.
std::vector<interface_info> get_network_interfaces();
std::vector<interface_info> get_network_interfaces(interface_source& source);

// The record of the interface the system would use to reach `destination`, or nothing:
// when the lookup fails, or when that interface is not in get_network_interfaces() (down,
// loopback, no address).
std::optional<interface_info> get_best_interface(const ip_address_v4& destination);
std::optional<interface_info> get_best_interface(const ip_address_v4& destination,
                                                 interface_source& source);

// The IPv4 addresses among the record's unicast addresses, in its order.
std::vector<ip_address_v4> ipv4_unicast_addresses(const interface_info& info);

}  // namespace net
