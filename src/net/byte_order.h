#pragma once
// Big-endian loads and stores at arbitrary (unaligned) byte positions, and host/network
// conversions of 16- and 32-bit values. Written with shifts and memcpy so that it is the same
// on every platform and never performs an unaligned or type-punned access.

#include <bit>
#include <cstdint>
#include <cstring>

namespace net {

inline std::uint16_t load_be16(const std::uint8_t* p) noexcept
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t load_be32(const std::uint8_t* p) noexcept
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline void store_be16(std::uint8_t* p, std::uint16_t v) noexcept
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) noexcept
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

constexpr std::uint16_t byte_swap16(std::uint16_t v) noexcept
{
    return static_cast<std::uint16_t>((v << 8) | (v >> 8));
}

constexpr std::uint32_t byte_swap32(std::uint32_t v) noexcept
{
    return (v << 24) | ((v << 8) & 0x00FF0000u) | ((v >> 8) & 0x0000FF00u) | (v >> 24);
}

// Equivalents of htons/ntohs/htonl/ntohl for fields read out of the packed header records.
constexpr std::uint16_t host_to_network16(std::uint16_t v) noexcept
{
    return std::endian::native == std::endian::little ? byte_swap16(v) : v;
}
constexpr std::uint16_t network_to_host16(std::uint16_t v) noexcept { return host_to_network16(v); }

constexpr std::uint32_t host_to_network32(std::uint32_t v) noexcept
{
    return std::endian::native == std::endian::little ? byte_swap32(v) : v;
}
constexpr std::uint32_t network_to_host32(std::uint32_t v) noexcept { return host_to_network32(v); }

}  // namespace net
