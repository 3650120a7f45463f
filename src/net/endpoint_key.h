#pragma once
// Key of the tables that map a client endpoint to a translation or redirect entry, and the
// hash function object that all of those tables (and the port/identifier and address tables)
// use with the standard unordered containers.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "net/fnv1a.h"
#include "net/ip_address.h"

namespace net {

struct endpoint_key {
    ip_address_v4 address;
    std::uint16_t port = 0;  // host byte order

    friend bool operator==(const endpoint_key& a, const endpoint_key& b) noexcept
    {
        return a.address == b.address && a.port == b.port;
    }
};

// FNV-1a of the address, xor the port, then FNV-1a over that 64-bit value's bytes: two
// steps so that the port spreads over the whole hash instead of only its low bits.
inline std::uint64_t fnv1a(const endpoint_key& key) noexcept
{
    return fnv1a_u64(fnv1a(key.address) ^ std::uint64_t{key.port});
}

// Hash object for std::unordered_map / std::unordered_set keyed by a 16-bit value, an
// ip_address_v4 or an endpoint_key.
struct fnv1a_hash {
    std::size_t operator()(std::uint16_t value) const noexcept { return static_cast<std::size_t>(fnv1a_u16(value)); }
    std::size_t operator()(const ip_address_v4& a) const noexcept { return static_cast<std::size_t>(fnv1a(a)); }
    std::size_t operator()(const endpoint_key& k) const noexcept { return static_cast<std::size_t>(fnv1a(k)); }
};

}  // namespace net

// Default hashes so that the two value types work as keys without naming the hash object.
template <>
struct std::hash<net::ip_address_v4> {
    std::size_t operator()(const net::ip_address_v4& a) const noexcept { return net::fnv1a_hash{}(a); }
};
template <>
struct std::hash<net::endpoint_key> {
    std::size_t operator()(const net::endpoint_key& k) const noexcept { return net::fnv1a_hash{}(k); }
};
