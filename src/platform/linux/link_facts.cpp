#include "platform/linux/link_facts.h"

#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

#include <cstring>

#include "platform/linux/netlink_route.h"

namespace platform {

bool parse_link(const nlmsghdr& message, link_facts& link)
{
    if ((message.nlmsg_type != RTM_NEWLINK && message.nlmsg_type != RTM_DELLINK) ||
        message.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return false;
    ifinfomsg info;
    std::memcpy(&info, NLMSG_DATA(&message), sizeof info);
    if (info.ifi_index <= 0)
        return false;
    link.index = static_cast<std::uint32_t>(info.ifi_index);
    link.hardware_type = info.ifi_type;
    link.flags = info.ifi_flags;
    netlink::for_each_attribute(
        IFLA_RTA(NLMSG_DATA(&message)), IFLA_PAYLOAD(&message),
        [&](std::uint16_t type, const void* data, std::size_t length) {
            switch (type) {
            case IFLA_IFNAME:
                link.name.assign(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), length));
                break;
            case IFLA_ADDRESS:
                link.address_length = static_cast<std::uint32_t>(length < sizeof link.address ? length : sizeof link.address);
                std::memcpy(link.address, data, link.address_length);
                break;
            case IFLA_MTU:
                if (length >= 4)
                    std::memcpy(&link.mtu, data, 4);
                break;
            case IFLA_OPERSTATE:
                if (length >= 1)
                    std::memcpy(&link.oper_state, data, 1);
                break;
            case IFLA_LINKINFO:
                netlink::for_each_attribute(
                    static_cast<const rtattr*>(data), length,
                    [&](std::uint16_t inner, const void* inner_data, std::size_t inner_length) {
                        if (inner == IFLA_INFO_KIND)
                            link.kind.assign(static_cast<const char*>(inner_data),
                                             strnlen(static_cast<const char*>(inner_data), inner_length));
                    });
                break;
            default:
                break;
            }
        });
    return !link.name.empty();
}

namespace {

// Wireless devices carry a "wireless" (or "phy80211") entry in sysfs. sysfs shows the
// namespace it was mounted in; a same-named link elsewhere can only make an Ethernet link
// look wireless, which changes no lookup but the type shown.
bool is_wireless(const link_facts& link)
{
    if (link.name.find('/') != std::string::npos || link.name == "." || link.name == "..")
        return false;
    const std::string base = "/sys/class/net/" + link.name;
    return access((base + "/wireless").c_str(), F_OK) == 0 ||
           access((base + "/phy80211").c_str(), F_OK) == 0;
}

}  // namespace

bool link_is_hardware(const link_facts& link)
{
    return link.hardware_type == ARPHRD_ETHER && link.kind.empty();
}

namespace {

// The type from the link message alone (no sysfs): what the LUID is built from, so that a
// LUID never depends on a file that may be missing or belong to another namespace.
std::uint32_t base_if_type(const link_facts& link)
{
    switch (link.hardware_type) {
    case ARPHRD_ETHER:
        return if_type_ethernet;
    case ARPHRD_PPP:
        return if_type_ppp;
    case ARPHRD_LOOPBACK:
        return if_type_software_loopback;
    case ARPHRD_NONE:
        return if_type_prop_virtual;
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case ARPHRD_IP6GRE:
        return if_type_tunnel;
    default:
        return if_type_other;
    }
}

}  // namespace

std::uint32_t link_if_type(const link_facts& link)
{
    const std::uint32_t type = base_if_type(link);
    return type == if_type_ethernet && link_is_hardware(link) && is_wireless(link) ? if_type_ieee80211
                                                                                   : type;
}

std::uint32_t link_media_type(const link_facts& link)
{
    switch (link_if_type(link)) {
    case if_type_ppp:
        return ndis_medium_wan;
    case if_type_software_loopback:
        return ndis_medium_loopback;
    case if_type_prop_virtual:
        return ndis_medium_ip;
    case if_type_tunnel:
        return ndis_medium_tunnel;
    default:
        return ndis_medium_802_3;
    }
}

std::uint32_t link_physical_medium(const link_facts& link)
{
    if (!link_is_hardware(link))
        return ndis_physical_medium_unspecified;
    return link_if_type(link) == if_type_ieee80211 ? ndis_physical_medium_native_802_11
                                                   : ndis_physical_medium_802_3;
}

std::uint32_t link_oper_status(const link_facts& link)
{
    switch (link.oper_state) {
    case IF_OPER_UP:
        return oper_status_up;
    case IF_OPER_UNKNOWN:
        // TUN and loopback never report UP: administratively up with carrier is up.
        return (link.flags & IFF_UP) && (link.flags & IFF_LOWER_UP) ? oper_status_up
                                                                     : oper_status_down;
    case IF_OPER_NOTPRESENT:
        return 6;
    case IF_OPER_LOWERLAYERDOWN:
        return 7;
    case IF_OPER_TESTING:
        return 3;
    case IF_OPER_DORMANT:
        return 5;
    default:
        return oper_status_down;
    }
}

std::uint64_t link_luid(const link_facts& link)
{
    return (static_cast<std::uint64_t>(base_if_type(link)) << 48) | link.index;
}

interface_guid link_guid(const link_facts& link)
{
    // {ifindex-0000-0000-"cvnlink\0"}: unique per link in the namespace, recognisable.
    interface_guid guid;
    guid.data1 = link.index;
    std::memcpy(guid.data4, "cvnlink", 8);
    return guid;
}

}  // namespace platform
