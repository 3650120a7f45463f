#pragma once
// Address value types shared by every packet-handling component, and their text forms.
//
// Text forms are produced by our own code, identical on every platform:
// - IPv4: dotted decimal without leading zeros ("255.255.255.255" is the longest, 15 chars).
// - IPv6: the compressed form Windows prints: lower-case hexadecimal groups without leading
//   zeros; the longest run of two or more zero groups (the first one on a tie) becomes "::";
//   a single zero group stays "0". Like Windows, the last 32 bits are printed dotted-decimal
//   for IPv4-mapped (::ffff:a.b.c.d), IPv4-translated (::ffff:0:a.b.c.d), IPv4-compatible
//   (::a.b.c.d, except :: and ::1) and ISATAP (...:0:5efe:a.b.c.d / ...:200:5efe:a.b.c.d)
//   addresses.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/inet_types.h"

namespace net {

// One IPv4 address with the layout of in_addr: the four octets in network order, the first
// octet in the lowest-addressed byte. Copied into and out of frames without byte swapping.
struct ip_address_v4 {
    std::uint8_t octets[4] = {0, 0, 0, 0};

    constexpr ip_address_v4() noexcept = default;
    constexpr ip_address_v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) noexcept
        : octets{a, b, c, d}
    {
    }
    explicit ip_address_v4(const in_addr& address) noexcept { std::memcpy(octets, &address, 4); }

    // Reads the 4 bytes of an address field (e.g. inside a frame).
    static ip_address_v4 from_bytes(const std::uint8_t* bytes) noexcept
    {
        ip_address_v4 a;
        std::memcpy(a.octets, bytes, 4);
        return a;
    }
    void to_bytes(std::uint8_t* bytes) const noexcept { std::memcpy(bytes, octets, 4); }

    in_addr to_in_addr() const noexcept
    {
        in_addr a;
        std::memcpy(&a, octets, 4);
        return a;
    }

    // The address as it lies in memory (network order bytes read as a host integer), the
    // same value as in_addr's s_addr.
    std::uint32_t raw() const noexcept
    {
        std::uint32_t v;
        std::memcpy(&v, octets, 4);
        return v;
    }

    friend constexpr bool operator==(const ip_address_v4& a, const ip_address_v4& b) noexcept
    {
        return a.octets[0] == b.octets[0] && a.octets[1] == b.octets[1] && a.octets[2] == b.octets[2] &&
               a.octets[3] == b.octets[3];
    }
};
static_assert(sizeof(ip_address_v4) == sizeof(in_addr));

// Either an IPv4 or an IPv6 address: 16 bytes of storage, then the alternative index
// (index_v4 = 0, index_v6 = 1). Used for the DNS server lists.
struct ip_address_any {
    static constexpr std::uint32_t index_v4 = 0;
    static constexpr std::uint32_t index_v6 = 1;

    union {
        in_addr v4;
        in6_addr v6;
        std::uint8_t storage[16];
    };
    std::uint32_t index;

    ip_address_any() noexcept : storage{}, index(index_v4) {}
    explicit ip_address_any(const in_addr& a) noexcept : storage{}, index(index_v4) { std::memcpy(storage, &a, 4); }
    explicit ip_address_any(const in6_addr& a) noexcept : storage{}, index(index_v6) { std::memcpy(storage, &a, 16); }
    explicit ip_address_any(const ip_address_v4& a) noexcept : storage{}, index(index_v4) { std::memcpy(storage, a.octets, 4); }

    bool is_v4() const noexcept { return index == index_v4; }
    bool is_v6() const noexcept { return index == index_v6; }
    ip_address_v4 as_v4() const noexcept { return ip_address_v4::from_bytes(storage); }

    friend bool operator==(const ip_address_any& a, const ip_address_any& b) noexcept
    {
        return a.index == b.index && std::memcmp(a.storage, b.storage, a.is_v4() ? 4 : 16) == 0;
    }
};
static_assert(sizeof(ip_address_any) == 20);

std::string to_string(const ip_address_v4& address);
std::string to_string(const in6_addr& address);
// The text of whichever alternative `address` holds.
std::string to_string(const ip_address_any& address);

// Parses a comma-separated address list (the DNS server option). Each token starts after its
// comma and any spaces that follow it; it is read as a strict dotted-quad IPv4 address first,
// then as an IPv6 address; tokens that are neither are skipped silently. Reading stops at the
// first character that cannot continue an address, so "1.2.3.4 junk" and "1.2.3.4x" both give
// 1.2.3.4. Acceptance rules (the same on every platform):
// - IPv4: exactly four decimal parts 0-255; a part with a leading zero ("01") is rejected so
//   that no text can be mistaken for the octal form other parsers accept.
// - IPv6: groups of one to four hexadecimal digits separated by ':', at most one "::",
//   optionally ending in a dotted-quad IPv4 tail (under the IPv4 rules) that fills the last
//   two groups; a fifth hexadecimal digit in a group, a lone ':' at either end or a group
//   count that does not add up to eight makes the token invalid.
std::vector<ip_address_any> parse_address_list(const std::string& text);

// The single-address parsers used by parse_address_list. `text` need not end after the
// address: the parse stops at the first character that cannot continue it.
bool parse_ipv4(const char* text, std::size_t length, ip_address_v4& out);
bool parse_ipv6(const char* text, std::size_t length, in6_addr& out);

}  // namespace net
