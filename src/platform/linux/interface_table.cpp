// rtnetlink backend of platform/interface_table.h (lookups; notifications are in
// interface_change.cpp). Every lookup opens its own socket in the calling thread's
// namespace and keeps nothing between calls.
#include "platform/interface_table.h"

#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/neighbour.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/link_facts.h"
#include "platform/linux/netlink_route.h"

namespace platform {

namespace {

constexpr int dump_attempts = 4;

// Neighbour states that carry a usable link-layer address (the kernel's NUD_VALID).
constexpr unsigned neighbour_valid =
    NUD_PERMANENT | NUD_NOARP | NUD_REACHABLE | NUD_PROBE | NUD_STALE | NUD_DELAY;

// Runs `read` again while the kernel reports the dump as interrupted by a change.
template <typename Read>
int with_retries(Read read)
{
    int error = EAGAIN;
    for (int attempt = 0; attempt < dump_attempts && error == EAGAIN; ++attempt)
        error = read();
    return error;
}

int dump_links(netlink::route_socket& socket, std::vector<link_facts>& links)
{
    return with_retries([&] {
        links.clear();
        ifinfomsg family{};
        family.ifi_family = AF_UNSPEC;
        netlink::request message(RTM_GETLINK, NLM_F_DUMP, &family, sizeof family);
        return socket.exchange(message.header(), [&](const nlmsghdr& h) {
            link_facts link;
            if (parse_link(h, link))
                links.push_back(std::move(link));
        });
    });
}

struct address_fact {
    std::uint32_t if_index = 0;
    sockaddr_storage address;
};

sockaddr_storage make_socket_address(int family, const void* bytes, std::uint32_t scope_index)
{
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        std::memcpy(&a.sin_addr, bytes, 4);
        return to_socket_address_storage(&a, sizeof a);
    }
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    std::memcpy(&a.sin6_addr, bytes, 16);
    a.sin6_scope_id = scope_index;
    return to_socket_address_storage(&a, sizeof a);
}

bool is_link_local_v6(const void* bytes)
{
    const auto* b = static_cast<const std::uint8_t*>(bytes);
    return b[0] == 0xfe && (b[1] & 0xc0) == 0x80;
}

std::size_t address_length(int family) { return family == AF_INET ? 4 : 16; }

int dump_addresses(netlink::route_socket& socket, std::vector<address_fact>& addresses)
{
    return with_retries([&] {
        addresses.clear();
        ifaddrmsg family{};
        family.ifa_family = AF_UNSPEC;
        netlink::request message(RTM_GETADDR, NLM_F_DUMP, &family, sizeof family);
        return socket.exchange(message.header(), [&](const nlmsghdr& h) {
            if (h.nlmsg_type != RTM_NEWADDR || h.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
                return;
            ifaddrmsg ifa;
            std::memcpy(&ifa, NLMSG_DATA(&h), sizeof ifa);
            if (ifa.ifa_family != AF_INET && ifa.ifa_family != AF_INET6)
                return;
            const std::size_t want = address_length(ifa.ifa_family);
            const void* local = nullptr;
            const void* address = nullptr;
            netlink::for_each_attribute(
                IFA_RTA(NLMSG_DATA(&h)), IFA_PAYLOAD(&h),
                [&](std::uint16_t type, const void* data, std::size_t length) {
                    if (length < want)
                        return;
                    if (type == IFA_LOCAL)
                        local = data;
                    else if (type == IFA_ADDRESS)
                        address = data;
                });
            // IFA_LOCAL is the interface's own address; IFA_ADDRESS is the peer on a
            // point-to-point link and the own address otherwise.
            const void* own = local ? local : address;
            if (!own)
                return;
            const bool scoped = ifa.ifa_family == AF_INET6 && is_link_local_v6(own);
            addresses.push_back(
                {ifa.ifa_index, make_socket_address(ifa.ifa_family, own, scoped ? ifa.ifa_index : 0)});
        });
    });
}

struct gateway_fact {
    std::uint32_t if_index = 0;
    sockaddr_storage address;
};

// Collects the next hops of the default routes of the main table.
int dump_gateways(netlink::route_socket& socket, std::vector<gateway_fact>& gateways)
{
    return with_retries([&] {
        gateways.clear();
        rtmsg family{};
        family.rtm_family = AF_UNSPEC;
        netlink::request message(RTM_GETROUTE, NLM_F_DUMP, &family, sizeof family);
        return socket.exchange(message.header(), [&](const nlmsghdr& h) {
            if (h.nlmsg_type != RTM_NEWROUTE || h.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
                return;
            rtmsg route;
            std::memcpy(&route, NLMSG_DATA(&h), sizeof route);
            if ((route.rtm_family != AF_INET && route.rtm_family != AF_INET6) ||
                route.rtm_dst_len != 0 || route.rtm_type != RTN_UNICAST)
                return;
            const std::size_t want = address_length(route.rtm_family);
            std::uint32_t table = route.rtm_table;
            std::uint32_t oif = 0;
            const void* gateway = nullptr;
            const void* multipath = nullptr;
            std::size_t multipath_length = 0;
            netlink::for_each_attribute(
                RTM_RTA(NLMSG_DATA(&h)), RTM_PAYLOAD(&h),
                [&](std::uint16_t type, const void* data, std::size_t length) {
                    if (type == RTA_TABLE && length >= 4)
                        std::memcpy(&table, data, 4);
                    else if (type == RTA_OIF && length >= 4)
                        std::memcpy(&oif, data, 4);
                    else if (type == RTA_GATEWAY && length >= want)
                        gateway = data;
                    else if (type == RTA_MULTIPATH) {
                        multipath = data;
                        multipath_length = length;
                    }
                });
            if (table != RT_TABLE_MAIN)
                return;
            auto add = [&](std::uint32_t index, const void* bytes) {
                const bool scoped = route.rtm_family == AF_INET6 && is_link_local_v6(bytes);
                gateways.push_back(
                    {index, make_socket_address(route.rtm_family, bytes, scoped ? index : 0)});
            };
            if (gateway && oif != 0)
                add(oif, gateway);
            // Multipath next hops: rtnexthop records, each followed by its own attributes.
            const auto* cursor = static_cast<const unsigned char*>(multipath);
            std::size_t left = multipath_length;
            while (cursor && left >= sizeof(rtnexthop)) {
                rtnexthop hop;
                std::memcpy(&hop, cursor, sizeof hop);
                if (hop.rtnh_len < sizeof hop || hop.rtnh_len > left)
                    break;
                const void* hop_gateway = nullptr;
                netlink::for_each_attribute(
                    reinterpret_cast<const rtattr*>(cursor + RTNH_LENGTH(0)),
                    hop.rtnh_len - RTNH_LENGTH(0),
                    [&](std::uint16_t type, const void* data, std::size_t length) {
                        if (type == RTA_GATEWAY && length >= want)
                            hop_gateway = data;
                    });
                if (hop_gateway && hop.rtnh_ifindex > 0)
                    add(static_cast<std::uint32_t>(hop.rtnh_ifindex), hop_gateway);
                const std::size_t step = RTNH_ALIGN(hop.rtnh_len);
                if (step >= left)
                    break;
                cursor += step;
                left -= step;
            }
        });
    });
}

bool same_address(const sockaddr_storage& a, const sockaddr_storage& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::wstring widen(const std::string& text)
{
    std::wstring wide;
    for (unsigned char c : text)
        wide.push_back(static_cast<wchar_t>(c));
    return wide;
}

}  // namespace

std::uint32_t read_interface_table(std::vector<interface_row>& rows)
{
    rows.clear();
    netlink::route_socket socket;
    std::vector<link_facts> links;
    if (const int error = dump_links(socket, links))
        return netlink::win32_error_from_errno(error);
    for (const link_facts& link : links) {
        interface_row row;
        row.luid = link_luid(link);
        row.guid = link_guid(link);
        row.media_type = link_media_type(link);
        row.physical_medium_type = link_physical_medium(link);
        row.media_connect_state = (link.flags & IFF_LOWER_UP) ? media_connect_connected
                                                              : media_connect_disconnected;
        row.physical_address_length = link.address_length;
        std::memcpy(row.physical_address, link.address, sizeof row.physical_address);
        row.hardware_interface = link_is_hardware(link);
        rows.push_back(row);
    }
    return error_success;
}

std::uint32_t read_adapter_addresses(std::vector<adapter_entry>& adapters)
{
    adapters.clear();
    netlink::route_socket socket;
    std::vector<link_facts> links;
    std::vector<address_fact> addresses;
    std::vector<gateway_fact> gateways;
    int error = dump_links(socket, links);
    if (!error)
        error = dump_addresses(socket, addresses);
    if (!error)
        error = dump_gateways(socket, gateways);
    if (error)
        return netlink::win32_error_from_errno(error);

    for (const link_facts& link : links) {
        adapter_entry entry;
        entry.if_index = link.index;
        entry.adapter_name = "{" + link.name + "}";
        entry.description = widen(link.name);
        entry.friendly_name = entry.description;
        for (const address_fact& a : addresses) {
            if (a.if_index != link.index)
                continue;
            entry.unicast_addresses.push_back(a.address);
            if (a.address.ss_family == AF_INET6)
                entry.ipv6_if_index = link.index;
        }
        for (const gateway_fact& g : gateways) {
            if (g.if_index != link.index)
                continue;
            const bool listed = std::any_of(
                entry.gateway_addresses.begin(), entry.gateway_addresses.end(),
                [&](const sockaddr_storage& s) { return same_address(s, g.address); });
            if (!listed)
                entry.gateway_addresses.push_back(g.address);
        }
        entry.physical_address_length = std::min<std::uint32_t>(link.address_length, 8);
        std::memcpy(entry.physical_address, link.address, entry.physical_address_length);
        entry.mtu = link.mtu;
        entry.if_type = link_if_type(link);
        entry.oper_status = link_oper_status(link);
        entry.luid = link_luid(link);
        adapters.push_back(std::move(entry));
    }
    return error_success;
}

std::uint32_t resolve_neighbour(const sockaddr_storage& address, std::uint64_t luid,
                                std::uint8_t (&mac)[6])
{
    std::memset(mac, 0, sizeof mac);
    const int family = address.ss_family;
    if (family != AF_INET && family != AF_INET6)
        return error_invalid_parameter;
    ndmsg neighbour{};
    neighbour.ndm_family = static_cast<std::uint8_t>(family);
    neighbour.ndm_ifindex = static_cast<int>(luid_if_index(luid));
    netlink::request message(RTM_GETNEIGH, 0, &neighbour, sizeof neighbour);
    if (family == AF_INET) {
        sockaddr_in a;
        std::memcpy(&a, &address, sizeof a);
        message.add_attribute(NDA_DST, &a.sin_addr, 4);
    } else {
        sockaddr_in6 a;
        std::memcpy(&a, &address, sizeof a);
        message.add_attribute(NDA_DST, &a.sin6_addr, 16);
    }

    netlink::route_socket socket;
    bool resolved = false;
    const int error = socket.exchange(message.header(), [&](const nlmsghdr& h) {
        if (h.nlmsg_type != RTM_NEWNEIGH || h.nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg)))
            return;
        ndmsg reply;
        std::memcpy(&reply, NLMSG_DATA(&h), sizeof reply);
        if (!(reply.ndm_state & neighbour_valid))
            return;
        const std::size_t attributes_offset = NLMSG_ALIGN(sizeof(ndmsg));
        netlink::for_each_attribute(
            reinterpret_cast<const rtattr*>(static_cast<const unsigned char*>(NLMSG_DATA(&h)) +
                                            attributes_offset),
            h.nlmsg_len - NLMSG_LENGTH(attributes_offset),
            [&](std::uint16_t type, const void* data, std::size_t length) {
                if (type == NDA_LLADDR && length >= 6) {
                    std::memcpy(mac, data, 6);
                    resolved = true;
                }
            });
    });
    if (error == ENOENT || (!error && !resolved))
        return error_bad_net_name;
    return netlink::win32_error_from_errno(error);
}

std::uint32_t best_interface(const sockaddr_storage& destination, std::uint32_t& if_index)
{
    if_index = 0;
    const int family = destination.ss_family;
    if (family != AF_INET && family != AF_INET6)
        return error_invalid_parameter;
    rtmsg route{};
    route.rtm_family = static_cast<unsigned char>(family);
    netlink::request message(RTM_GETROUTE, 0, &route, sizeof route);
    if (family == AF_INET) {
        sockaddr_in a;
        std::memcpy(&a, &destination, sizeof a);
        message.add_attribute(RTA_DST, &a.sin_addr, 4);
        reinterpret_cast<rtmsg*>(NLMSG_DATA(message.header()))->rtm_dst_len = 32;
    } else {
        sockaddr_in6 a;
        std::memcpy(&a, &destination, sizeof a);
        message.add_attribute(RTA_DST, &a.sin6_addr, 16);
        reinterpret_cast<rtmsg*>(NLMSG_DATA(message.header()))->rtm_dst_len = 128;
    }

    netlink::route_socket socket;
    const int error = socket.exchange(message.header(), [&](const nlmsghdr& h) {
        if (h.nlmsg_type != RTM_NEWROUTE || h.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
            return;
        netlink::for_each_attribute(RTM_RTA(NLMSG_DATA(&h)), RTM_PAYLOAD(&h),
                                    [&](std::uint16_t type, const void* data, std::size_t length) {
                                        if (type == RTA_OIF && length >= 4)
                                            std::memcpy(&if_index, data, 4);
                                    });
    });
    if (error)
        return netlink::win32_error_from_errno(error);
    return if_index != 0 ? error_success : error_not_found;
}

}  // namespace platform
