#pragma once
// Builds IPv4 frames inside heap INTERMEDIATE_BUFFERs for the net tests, and checks
// checksums with a deliberately naive reference: the plain 16-bit word loop.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "tarnwell/control_interface.h"

namespace net_test {

using buffer_ptr = std::unique_ptr<tarnwell::INTERMEDIATE_BUFFER>;

inline buffer_ptr make_buffer(std::uint8_t fill = 0)
{
    auto buffer = std::make_unique<tarnwell::INTERMEDIATE_BUFFER>();
    std::memset(buffer.get(), fill, sizeof(tarnwell::INTERMEDIATE_BUFFER));
    return buffer;
}

inline buffer_ptr clone(const tarnwell::INTERMEDIATE_BUFFER& b)
{
    auto copy = std::make_unique<tarnwell::INTERMEDIATE_BUFFER>();
    std::memcpy(copy.get(), &b, sizeof b);
    return copy;
}

inline bool same_bytes(const tarnwell::INTERMEDIATE_BUFFER& a, const tarnwell::INTERMEDIATE_BUFFER& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
inline void put16(std::uint8_t* p, unsigned v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline const std::uint8_t client_mac[6] = {0x02, 0, 0, 0, 0, 0x01};
inline const std::uint8_t server_mac[6] = {0x02, 0, 0, 0, 0, 0x02};
inline const std::uint8_t client_ip[4] = {10, 0, 0, 2};
inline const std::uint8_t server_ip[4] = {93, 184, 216, 34};

// Ethernet + IPv4 (with `ip_options`, a multiple of 4 bytes) + `transport` bytes. Sets the
// total length and the frame length to match; checksums are left zero.
inline buffer_ptr build_ipv4(std::uint8_t protocol, const std::vector<std::uint8_t>& transport,
                             const std::vector<std::uint8_t>& ip_options = {}, std::uint8_t fill = 0)
{
    auto buffer = make_buffer(fill);
    std::uint8_t* f = buffer->frame;
    std::memcpy(f, server_mac, 6);
    std::memcpy(f + 6, client_mac, 6);
    put16(f + 12, 0x0800);
    std::uint8_t* ip = f + 14;
    const std::size_t ihl = (20 + ip_options.size()) / 4;
    const std::size_t total = ihl * 4 + transport.size();
    ip[0] = static_cast<std::uint8_t>(0x40 | ihl);
    ip[1] = 0;
    put16(ip + 2, static_cast<unsigned>(total));
    put16(ip + 4, 0x1234);
    put16(ip + 6, 0x4000);
    ip[8] = 64;
    ip[9] = protocol;
    put16(ip + 10, 0);
    std::memcpy(ip + 12, client_ip, 4);
    std::memcpy(ip + 16, server_ip, 4);
    if (!ip_options.empty())
        std::memcpy(ip + 20, ip_options.data(), ip_options.size());
    if (!transport.empty())
        std::memcpy(ip + ihl * 4, transport.data(), transport.size());
    buffer->length = static_cast<std::uint32_t>(14 + total);
    return buffer;
}

// TCP header (20 bytes + options) and payload.
inline std::vector<std::uint8_t> tcp_segment(std::uint8_t flags, const std::vector<std::uint8_t>& options = {},
                                             const std::vector<std::uint8_t>& payload = {})
{
    std::vector<std::uint8_t> s(20 + options.size());
    put16(s.data(), 50000);
    put16(s.data() + 2, 443);
    s[4] = 0x11; s[5] = 0x22; s[6] = 0x33; s[7] = 0x44;
    s[12] = static_cast<std::uint8_t>(((20 + options.size()) / 4) << 4);
    s[13] = flags;
    put16(s.data() + 14, 64240);
    std::copy(options.begin(), options.end(), s.begin() + 20);
    s.insert(s.end(), payload.begin(), payload.end());
    return s;
}

inline std::vector<std::uint8_t> udp_datagram(std::uint16_t source_port, std::uint16_t destination_port,
                                              const std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> d(8);
    put16(d.data(), source_port);
    put16(d.data() + 2, destination_port);
    put16(d.data() + 4, static_cast<unsigned>(8 + payload.size()));
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}

// The textbook definition: big-endian 16-bit words into a 32-bit accumulator, then fold.
inline std::uint16_t reference_sum(const std::vector<std::uint8_t>& bytes, std::uint32_t acc = 0)
{
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const std::uint32_t hi = bytes[i];
        const std::uint32_t lo = i + 1 < bytes.size() ? bytes[i + 1] : 0;
        acc += (hi << 8) | lo;
    }
    while (acc >> 16)
        acc = (acc & 0xFFFF) + (acc >> 16);
    return static_cast<std::uint16_t>(acc);
}

// True when the IP header checksum of the frame verifies.
inline bool ip_checksum_ok(const tarnwell::INTERMEDIATE_BUFFER& b)
{
    const std::uint8_t* ip = b.frame + 14;
    const std::size_t ihl = (ip[0] & 0x0F) * 4u;
    return reference_sum({ip, ip + ihl}) == 0xFFFF;
}

// True when the transport checksum verifies (pseudo-header for TCP/UDP), reading only the
// datagram's own bytes (so a wrong pad byte in the buffer cannot mask an error).
inline bool transport_checksum_ok(const tarnwell::INTERMEDIATE_BUFFER& b)
{
    const std::uint8_t* ip = b.frame + 14;
    const std::size_t ihl = (ip[0] & 0x0F) * 4u;
    const std::size_t total = be16(ip + 2);
    const std::uint8_t protocol = ip[9];
    std::vector<std::uint8_t> segment(ip + ihl, ip + total);
    std::uint32_t acc = 0;
    if (protocol != 1) {
        acc += be16(ip + 12) + be16(ip + 14) + be16(ip + 16) + be16(ip + 18);
        acc += protocol + static_cast<std::uint32_t>(segment.size());
    }
    return reference_sum(segment, acc) == 0xFFFF;
}

}  // namespace net_test
