#pragma once
// 64-bit FNV-1a, the one hash of every table keyed by ports, identifiers, addresses or client
// endpoints. Keys are hashed over their bytes in a fixed order (not their in-memory layout),
// so the values are the same on every platform and compiler.

#include <cstddef>
#include <cstdint>

#include "net/ip_address.h"

namespace net {

inline constexpr std::uint64_t fnv1a_offset_basis = 0xcbf29ce484222325ull;
inline constexpr std::uint64_t fnv1a_prime = 0x100000001b3ull;

constexpr std::uint64_t fnv1a(const std::uint8_t* bytes, std::size_t length,
                              std::uint64_t hash = fnv1a_offset_basis) noexcept
{
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= fnv1a_prime;
    }
    return hash;
}

// FNV-1a over the 8 bytes of `value`, least significant byte first.
constexpr std::uint64_t fnv1a_u64(std::uint64_t value) noexcept
{
    std::uint64_t hash = fnv1a_offset_basis;
    for (int i = 0; i < 8; ++i) {
        hash ^= (value >> (8 * i)) & 0xFF;
        hash *= fnv1a_prime;
    }
    return hash;
}

// A 16-bit key (port, ICMP identifier): its two bytes, low byte first.
constexpr std::uint64_t fnv1a_u16(std::uint16_t value) noexcept
{
    std::uint64_t hash = fnv1a_offset_basis;
    hash ^= value & 0xFFu;
    hash *= fnv1a_prime;
    hash ^= value >> 8;
    hash *= fnv1a_prime;
    return hash;
}

inline std::uint64_t fnv1a(const ip_address_v4& address) noexcept { return fnv1a(address.octets, 4); }

}  // namespace net
