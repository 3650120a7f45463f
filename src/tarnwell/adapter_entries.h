#pragma once
// The driver's adapter list turned into plain entries with friendly names: what both
// filters build their adapter vectors from.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tarnwell/driver_client.h"

namespace tarnwell {

struct adapter_entry {
    std::uint64_t handle = 0;
    std::array<std::uint8_t, ETHER_ADDR_LENGTH> mac{};
    std::string internal_name;
    std::string friendly_name;  // empty when the adapter has none
    std::uint32_t medium = 0;
    std::uint16_t mtu = 0;
};

// The listed adapters in the driver's order; false (and `out` empty) when the request
// fails. A count above the list's capacity is clamped and names are read only within
// their fields, whatever the driver wrote.
bool query_adapter_entries(const CTarnwell& client, std::vector<adapter_entry>& out);

}  // namespace tarnwell
