#pragma once
// The operating system's three WAN miniports (IP, IPv6, BH): how the driver client knows
// them and what they are called. Before Windows 10 their internal names are fixed device
// names; from Windows 10 on only their network component ids identify them.

#include <cstdint>

namespace tarnwell {

// network_adapter::wan_kind values.
inline constexpr std::uint32_t WAN_KIND_NONE = 0;
inline constexpr std::uint32_t WAN_KIND_IP = 1;
inline constexpr std::uint32_t WAN_KIND_IPV6 = 2;
inline constexpr std::uint32_t WAN_KIND_BH = 3;

// The WAN kind of the adapter with internal name `name`, tested in the order IP, IPv6, BH.
std::uint32_t classify_wan_kind(const char* name);

}  // namespace tarnwell
