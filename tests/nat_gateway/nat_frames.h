#pragma once
// IPv4 frames for the NAT tests: any addresses and ports, built field by field so that the
// tests do not share a line of parsing with the code under test. Checksums are checked with
// the plain reference sums of net/packet_builder.h.

#include <cstdint>
#include <cstring>
#include <vector>

#include "net/ip_address.h"
#include "net/packet_builder.h"
#include "tarnwell/control_interface.h"

namespace nat_test {

using net_test::buffer_ptr;
using net_test::put16;
using net_test::be16;

inline constexpr std::uint8_t tcp = 6;
inline constexpr std::uint8_t udp = 17;
inline constexpr std::uint8_t icmp = 1;

struct frame_spec {
    std::uint8_t protocol = tcp;
    net::ip_address_v4 source;
    net::ip_address_v4 destination;
    std::uint16_t source_port = 0;  // ICMP: the identifier
    std::uint16_t destination_port = 0;
    std::uint8_t tcp_flags = 0x10;
    std::uint8_t icmp_type = 8;
    std::size_t payload = 0;        // bytes of payload after the transport header
    std::uint16_t fragment = 0x4000;  // flags and offset; DF by default
    std::uint8_t destination_mac0 = 0x02;
};

inline std::uint16_t transport_header_size(std::uint8_t protocol)
{
    return protocol == tcp ? 20 : 8;
}

// Ethernet + IPv4 + transport header + payload (bytes 0xA0, 0xA1, ...), with valid checksums.
inline buffer_ptr make_frame(const frame_spec& s)
{
    auto b = net_test::make_buffer();
    std::uint8_t* f = b->frame;
    f[0] = s.destination_mac0;
    f[5] = 0x01;
    f[6] = 0x02;
    f[11] = 0x02;
    put16(f + 12, 0x0800);
    std::uint8_t* ip = f + 14;
    const std::size_t transport = transport_header_size(s.protocol) + s.payload;
    ip[0] = 0x45;
    put16(ip + 2, static_cast<unsigned>(20 + transport));
    put16(ip + 4, 0x4242);
    put16(ip + 6, s.fragment);
    ip[8] = 64;
    ip[9] = s.protocol;
    s.source.to_bytes(ip + 12);
    s.destination.to_bytes(ip + 16);
    std::uint8_t* t = ip + 20;
    if (s.protocol == icmp) {
        t[0] = s.icmp_type;
        put16(t + 4, s.source_port);
        put16(t + 6, 1);
    } else {
        put16(t, s.source_port);
        put16(t + 2, s.destination_port);
        if (s.protocol == tcp) {
            t[12] = 0x50;
            t[13] = s.tcp_flags;
            put16(t + 14, 64240);
        } else {
            put16(t + 4, static_cast<unsigned>(transport));
        }
    }
    for (std::size_t i = 0; i < s.payload; ++i)
        t[transport_header_size(s.protocol) + i] = static_cast<std::uint8_t>(0xA0 + i);
    b->length = static_cast<std::uint32_t>(14 + 20 + transport);
    // Reference checksums, computed here and not by the code under test.
    const std::size_t checksum_at = s.protocol == tcp ? 16 : s.protocol == udp ? 6 : 2;
    std::uint32_t pseudo = 0;
    if (s.protocol != icmp)
        pseudo = be16(ip + 12) + be16(ip + 14) + be16(ip + 16) + be16(ip + 18) + s.protocol +
                 static_cast<std::uint32_t>(transport);
    const std::uint16_t sum = net_test::reference_sum({t, t + transport}, pseudo);
    put16(t + checksum_at, static_cast<std::uint16_t>(~sum));
    const std::uint16_t ip_sum = net_test::reference_sum({ip, ip + 20});
    put16(ip + 10, static_cast<std::uint16_t>(~ip_sum));
    return b;
}

inline net::ip_address_v4 source_of(const tarnwell::INTERMEDIATE_BUFFER& b)
{
    return net::ip_address_v4::from_bytes(b.frame + 26);
}
inline net::ip_address_v4 destination_of(const tarnwell::INTERMEDIATE_BUFFER& b)
{
    return net::ip_address_v4::from_bytes(b.frame + 30);
}
// Source port (TCP/UDP) or identifier (ICMP).
inline std::uint16_t source_port_of(const tarnwell::INTERMEDIATE_BUFFER& b)
{
    return b.frame[14 + 9] == icmp ? be16(b.frame + 34 + 4) : be16(b.frame + 34);
}
inline std::uint16_t destination_port_of(const tarnwell::INTERMEDIATE_BUFFER& b)
{
    return b.frame[14 + 9] == icmp ? be16(b.frame + 34 + 4) : be16(b.frame + 36);
}
inline bool checksums_ok(const tarnwell::INTERMEDIATE_BUFFER& b)
{
    return net_test::ip_checksum_ok(b) && net_test::transport_checksum_ok(b);
}

// The fragments of `whole` (a datagram built with DF clear) whose IP payloads are `sizes`
// bytes long, in order (every size but the last a multiple of 8), with identification `id`
// and valid IP header checksums.
inline std::vector<buffer_ptr> split_datagram(const tarnwell::INTERMEDIATE_BUFFER& whole,
                                              const std::vector<unsigned>& sizes, std::uint16_t id = 0x4242)
{
    std::vector<buffer_ptr> out;
    unsigned offset = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        auto f = net_test::clone(whole);
        std::memcpy(f->frame + 34, whole.frame + 34 + offset, sizes[i]);
        std::uint8_t* ip = f->frame + 14;
        put16(ip + 2, 20 + sizes[i]);
        put16(ip + 4, id);
        put16(ip + 6, (i + 1 < sizes.size() ? 0x2000u : 0u) | offset / 8);
        put16(ip + 10, 0);
        put16(ip + 10, static_cast<std::uint16_t>(~net_test::reference_sum({ip, ip + 20})));
        f->length = 14 + 20 + sizes[i];
        out.push_back(std::move(f));
        offset += sizes[i];
    }
    return out;
}

// Whether the datagram `fragments` reassemble to (addresses from the first) has a valid
// transport checksum, and every fragment a valid IP header checksum.
inline bool reassembled_checksums_ok(const std::vector<buffer_ptr>& fragments)
{
    std::vector<std::uint8_t> payload;
    for (const buffer_ptr& f : fragments) {
        if (!net_test::ip_checksum_ok(*f))
            return false;
        payload.insert(payload.end(), f->frame + 34, f->frame + 14 + be16(f->frame + 16));
    }
    const std::uint8_t* ip = fragments.front()->frame + 14;
    const std::uint8_t protocol = ip[9];
    const std::uint32_t pseudo =
        protocol == icmp ? 0
                         : be16(ip + 12) + be16(ip + 14) + be16(ip + 16) + be16(ip + 18) + protocol +
                               static_cast<std::uint32_t>(payload.size());
    return net_test::reference_sum(payload, pseudo) == 0xFFFF;
}

}  // namespace nat_test
