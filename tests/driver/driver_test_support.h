#pragma once
// What the driver tests share whatever host runs the driver: the reply of a control
// request, request and frame builders.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/driver.h"

namespace corvflt::testing {

using namespace tarnwell;

struct reply {
    ntstatus status = 0;
    std::uint32_t bytes = 0;
    std::vector<std::uint8_t> buffer;
};

inline std::vector<std::uint8_t> to_bytes(const void* p, std::size_t n)
{
    const auto* b = static_cast<const std::uint8_t*>(p);
    return {b, b + n};
}

inline std::vector<std::uint8_t> batch_request(std::uint64_t handle, std::uint32_t count,
                                               const std::vector<std::uint64_t>& addresses)
{
    std::vector<std::uint8_t> b(16 + 8 * addresses.size());
    std::memcpy(b.data(), &handle, 8);
    std::memcpy(b.data() + 8, &count, 4);
    for (std::size_t i = 0; i < addresses.size(); ++i)
        std::memcpy(b.data() + 16 + 8 * i, &addresses[i], 8);
    return b;
}

// Frames. Addresses are given as octets; ports in host order.
struct ipv4_spec {
    std::uint8_t src[4] = {10, 0, 0, 2};
    std::uint8_t dst[4] = {10, 0, 0, 1};
    std::uint8_t protocol = 17;
    std::uint16_t src_port = 1000;
    std::uint16_t dst_port = 53;
    std::uint8_t tcp_flags = 0x02;
    std::uint8_t icmp_type = 8;
    std::uint8_t icmp_code = 0;
    std::uint8_t dst_mac[6] = {0x02, 0, 0, 0, 0, 1};
    std::uint32_t payload = 8;
};

inline void put16(std::vector<std::uint8_t>& f, std::size_t at, std::uint16_t v)
{
    f[at] = static_cast<std::uint8_t>(v >> 8);
    f[at + 1] = static_cast<std::uint8_t>(v);
}

inline std::vector<std::uint8_t> transport(std::uint8_t protocol, const ipv4_spec& s)
{
    std::vector<std::uint8_t> t(protocol == 6 ? 20 : 8, 0);
    if (protocol == 6 || protocol == 17) {
        put16(t, 0, s.src_port);
        put16(t, 2, s.dst_port);
        if (protocol == 6) {
            t[12] = 0x50;
            t[13] = s.tcp_flags;
        }
    } else {
        t[0] = s.icmp_type;
        t[1] = s.icmp_code;
    }
    t.resize(t.size() + s.payload, 0xAB);
    return t;
}

inline std::vector<std::uint8_t> ipv4_frame(const ipv4_spec& s = {})
{
    std::vector<std::uint8_t> f(14, 0);
    std::memcpy(f.data(), s.dst_mac, 6);
    f[6] = 0x02;
    f[11] = 0x09;
    put16(f, 12, 0x0800);
    const std::vector<std::uint8_t> t = transport(s.protocol, s);
    std::vector<std::uint8_t> ip(20, 0);
    ip[0] = 0x45;
    put16(ip, 2, static_cast<std::uint16_t>(20 + t.size()));
    ip[8] = 64;
    ip[9] = s.protocol;
    std::memcpy(&ip[12], s.src, 4);
    std::memcpy(&ip[16], s.dst, 4);
    f.insert(f.end(), ip.begin(), ip.end());
    f.insert(f.end(), t.begin(), t.end());
    return f;
}

// IPv6 with a hop-by-hop and a destination-options header in front of the transport.
inline std::vector<std::uint8_t> ipv6_frame(std::uint8_t last_octet_src, std::uint8_t protocol,
                                            const ipv4_spec& s = {}, bool extensions = true)
{
    std::vector<std::uint8_t> f(14, 0);
    std::memcpy(f.data(), s.dst_mac, 6);
    put16(f, 12, 0x86DD);
    std::vector<std::uint8_t> ip(40, 0);
    ip[0] = 0x60;
    ip[6] = extensions ? 0 : protocol;
    ip[7] = 64;
    ip[8] = 0xFD;
    ip[23] = last_octet_src;
    ip[24] = 0xFD;
    ip[39] = 1;
    f.insert(f.end(), ip.begin(), ip.end());
    if (extensions) {
        std::vector<std::uint8_t> hop(8, 0), dest(16, 0);
        hop[0] = 60;       // next: destination options
        dest[0] = protocol;
        dest[1] = 1;       // 16 bytes
        f.insert(f.end(), hop.begin(), hop.end());
        f.insert(f.end(), dest.begin(), dest.end());
    }
    const std::vector<std::uint8_t> t = transport(protocol, s);
    f.insert(f.end(), t.begin(), t.end());
    return f;
}

}  // namespace corvflt::testing
