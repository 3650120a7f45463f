#pragma once
// The operating system's network interface facts, in the shape the interface records of
// net/network_interfaces.h are built from: the interface table, the adapter address list,
// neighbour resolution, the best interface towards an address, and IP interface change
// notifications. One header, one backend per OS. The filtering and record building live in
// net/, once for both systems; this layer only reads.
//
// Every function returns error_success or a Win32 error code (platform/win32_errors.h)
// and never throws or logs.
//
// Windows: IP Helper. GetIfTable2; GetAdaptersAddresses(AF_UNSPEC, 0x186) with the buffer
// size retried; ResolveIpNetEntry2 (may send an ARP request or neighbour solicitation;
// under Wine, where it is a crashing stub, a GetIpNetTable2 look-up instead);
// GetBestInterfaceEx; NotifyIpInterfaceChange(AF_UNSPEC, no initial notification) and
// CancelMibChangeNotify2.
//
// Linux: rtnetlink in the network namespace of the calling thread (each call opens its own
// NETLINK_ROUTE socket, so a thread that entered another namespace sees that namespace):
// - adapters and rows come from RTM_GETLINK, unicast addresses from RTM_GETADDR, gateways
//   from the default routes of the main table (RTM_GETROUTE, multipath next hops included,
//   each gateway once per interface). DNS server lists stay empty: Linux keeps no DNS servers
//   per interface.
// - adapter name "{ifname}" (braces included, so that matching it inside the driver's
//   internal name "\DEVICE\{ifname}" cannot confuse eth1 with eth10); description and
//   friendly name are the ifname, each byte widened to one wide character.
// - interface type: Ethernet 6 (802.11 71 when the device is wireless), PPP 23, loopback 24,
//   TUN and other link types without a hardware header 53 (proprietary virtual: the type of
//   an IP-medium tunnel adapter such as Wintun, so its gateways are never resolved by ARP),
//   IP-in-IP/GRE/SIT tunnels 131, anything else 1.
// - media type (NDIS medium): 802.3 0 for Ethernet and 802.11, WAN 3 for PPP, loopback 17,
//   IP 19 for the TUN kind, tunnel 15 for IP tunnels. Physical medium: 802.3 14 for hardware
//   Ethernet, native 802.11 9 for wireless, 0 (unspecified) for every virtual device
//   (veth, TAP, bridge, VLAN: a link that reports a kind in IFLA_LINKINFO is virtual).
// - LUID = (interface type << 48) | ifindex: the type where NET_LUID keeps it (802.11 links
//   counted as Ethernet 6 there, since that needs no sysfs look-up), and the ifindex whole
//   in the low 32 bits so that the LUID maps back to the link without loss.
//   Stable for the life of the link (the kernel does not reuse an ifindex soon).
// - operational status: up (1) for IF_OPER_UP, and for IF_OPER_UNKNOWN when the link is
//   administratively up with carrier (TUN, loopback report UNKNOWN); else the matching
//   Windows status (down 2, lower layer down 7, ...).
// - ipv6 interface index = ifindex when the link holds an IPv6 address, else 0.
// - link speeds are 0 (unknown).
// - neighbour resolution only reads the neighbour table (RTM_GETNEIGH); it sends nothing.
//   A missing, incomplete or failed entry, or one without a link-layer address, fails with
//   ERROR_BAD_NET_NAME (67), as an unanswered resolution does on Windows.
// - the best interface is the kernel's route lookup for the destination (RTM_GETROUTE);
//   nothing is sent. Local destinations answer the loopback interface.
// - notifications: link, IPv4/IPv6 address and IPv4/IPv6 main-table route messages, each
//   reported on one notification thread per registration: a link seen for the first time
//   is `added`, a link message for a known link `parameter_change`, a removed link
//   `deleted`; an address added is `added`, an address removed `deleted`; a route change
//   `parameter_change`. Messages lost to a receive-buffer overrun are reported as one
//   `parameter_change` with family 0 and index 0. There is never an initial notification.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/inet_types.h"
#include "platform/ntstatus_to_win32.h"
#include "platform/win32_errors.h"

namespace platform {

static_assert(sizeof(sockaddr_storage) == 128);

// A GUID with the Win32 layout.
struct interface_guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::uint8_t data4[8] = {};
};
static_assert(sizeof(interface_guid) == 16);

// IANA interface types.
inline constexpr std::uint32_t if_type_other = 1;
inline constexpr std::uint32_t if_type_ethernet = 6;
inline constexpr std::uint32_t if_type_ppp = 23;
inline constexpr std::uint32_t if_type_software_loopback = 24;
inline constexpr std::uint32_t if_type_prop_virtual = 53;
inline constexpr std::uint32_t if_type_ieee80211 = 71;
inline constexpr std::uint32_t if_type_tunnel = 131;

inline constexpr std::uint32_t oper_status_up = 1;
inline constexpr std::uint32_t oper_status_down = 2;
inline constexpr std::uint32_t media_connect_connected = 1;
inline constexpr std::uint32_t media_connect_disconnected = 2;

// NDIS_MEDIUM and NDIS_PHYSICAL_MEDIUM values used by the backends.
inline constexpr std::uint32_t ndis_medium_802_3 = 0;
inline constexpr std::uint32_t ndis_medium_wan = 3;
inline constexpr std::uint32_t ndis_medium_tunnel = 15;
inline constexpr std::uint32_t ndis_medium_loopback = 17;
inline constexpr std::uint32_t ndis_medium_ip = 19;
inline constexpr std::uint32_t ndis_physical_medium_unspecified = 0;
inline constexpr std::uint32_t ndis_physical_medium_native_802_11 = 9;
inline constexpr std::uint32_t ndis_physical_medium_802_3 = 14;

// One row of the interface table (MIB_IF_ROW2).
struct interface_row {
    std::uint64_t luid = 0;
    interface_guid guid;
    std::uint32_t media_type = 0;
    std::uint32_t physical_medium_type = 0;
    std::uint32_t media_connect_state = 0;
    std::uint32_t physical_address_length = 0;
    std::uint8_t physical_address[32] = {};
    bool hardware_interface = false;
};

// One entry of the adapter address list (IP_ADAPTER_ADDRESSES). Socket addresses are
// copied as the system gives them into zeroed storage.
struct adapter_entry {
    std::uint32_t if_index = 0;
    std::uint32_t ipv6_if_index = 0;
    std::string adapter_name;
    std::wstring description;
    std::wstring friendly_name;
    std::vector<sockaddr_storage> unicast_addresses;
    std::vector<sockaddr_storage> dns_server_addresses;
    std::vector<sockaddr_storage> gateway_addresses;
    std::uint8_t physical_address[8] = {};  // zero beyond physical_address_length
    std::uint32_t physical_address_length = 0;
    std::uint32_t mtu = 0;
    std::uint32_t if_type = 0;
    std::uint32_t oper_status = 0;
    std::uint64_t transmit_link_speed = 0;
    std::uint64_t receive_link_speed = 0;
    std::uint64_t luid = 0;
};

// Copies a socket address of `length` bytes into zeroed storage; at most 128 bytes are
// taken whatever the length claims.
inline sockaddr_storage to_socket_address_storage(const void* address, std::size_t length)
{
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    if (address)
        std::memcpy(&storage, address, length < sizeof storage ? length : sizeof storage);
    return storage;
}

std::uint32_t read_interface_table(std::vector<interface_row>& rows);
std::uint32_t read_adapter_addresses(std::vector<adapter_entry>& adapters);
// Resolves the link-layer address of `address` (IPv4 or IPv6) on the interface `luid`.
std::uint32_t resolve_neighbour(const sockaddr_storage& address, std::uint64_t luid,
                                std::uint8_t (&mac)[6]);
// The index of the interface the system would send to `destination` through.
std::uint32_t best_interface(const sockaddr_storage& destination, std::uint32_t& if_index);

// MIB_NOTIFICATION_TYPE values.
enum class interface_change_kind : std::uint32_t {
    parameter_change = 0,
    added = 1,
    deleted = 2,
    initial = 3,
};

struct interface_change {
    interface_change_kind kind = interface_change_kind::parameter_change;
    std::uint16_t family = 0;  // AF_INET, AF_INET6, or 0 when unknown
    std::uint32_t if_index = 0;
    std::uint64_t luid = 0;
};

// Called on the system's notification thread (Linux: the registration's own thread), one
// call at a time per registration.
using interface_change_callback = void (*)(void* context, const interface_change& change);

// Opaque; owned by the registration until cancelled.
struct interface_change_registration;

// Registers `callback` for IP interface changes of both families. On success `*handle`
// receives the registration.
std::uint32_t notify_ip_interface_change(interface_change_callback callback, void* context,
                                         interface_change_registration** handle);
// Ends a registration and frees it. When this returns, no callback of it runs any more
// (both systems wait for a callback in progress). Do not call it from the registration's
// own callback: Windows then waits for itself. (The Linux backend tolerates it: the call
// returns at once and the callback in progress is the last one.) A failure on Windows
// leaves the registration alive, since the system may still call it, and returns the error.
std::uint32_t cancel_ip_interface_change(interface_change_registration* handle);

}  // namespace platform
