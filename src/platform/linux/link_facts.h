#pragma once
// One link as RTM_NEWLINK describes it, and how its facts map onto the Windows interface
// model (types, media, LUID). Internal to the Linux backend of platform/interface_table.h,
// where the mapping is documented.

#include <linux/netlink.h>

#include <cstdint>
#include <string>

#include "platform/interface_table.h"

namespace platform {

struct link_facts {
    std::uint32_t index = 0;
    std::uint16_t hardware_type = 0;  // ARPHRD_*
    std::uint32_t flags = 0;          // IFF_*
    std::string name;
    std::uint8_t address[32] = {};
    std::uint32_t address_length = 0;
    std::uint32_t mtu = 0;
    std::uint8_t oper_state = 0;  // IF_OPER_*
    std::string kind;             // IFLA_INFO_KIND; empty for hardware devices
};

// Reads an RTM_NEWLINK or RTM_DELLINK message; false for anything else or a malformed one.
bool parse_link(const nlmsghdr& message, link_facts& link);

std::uint32_t link_if_type(const link_facts& link);
std::uint32_t link_media_type(const link_facts& link);
std::uint32_t link_physical_medium(const link_facts& link);
bool link_is_hardware(const link_facts& link);
std::uint32_t link_oper_status(const link_facts& link);
std::uint64_t link_luid(const link_facts& link);
interface_guid link_guid(const link_facts& link);

inline std::uint32_t luid_if_index(std::uint64_t luid) { return static_cast<std::uint32_t>(luid); }

}  // namespace platform
