#pragma once
// Client query frames as a VPN client sends them, DNS messages as servers answer them, and
// the checks a client's stack would make of a reply frame.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/byte_order.h"
#include "net/checksum.h"
#include "tarnwell/control_interface.h"

namespace dns_test {

inline const std::uint8_t client_mac[6] = {0x02, 0, 0, 0, 0, 0x0c};
inline const std::uint8_t gateway_mac[6] = {0x02, 0, 0, 0, 0, 0x0a};

// The question section of `name` (dotted), type and class IN.
inline std::vector<std::uint8_t> question(const std::string& name, std::uint16_t type = 1)
{
    std::vector<std::uint8_t> q;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos)
            dot = name.size();
        q.push_back(static_cast<std::uint8_t>(dot - start));
        q.insert(q.end(), name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    q.push_back(0);
    q.push_back(static_cast<std::uint8_t>(type >> 8));
    q.push_back(static_cast<std::uint8_t>(type));
    q.push_back(0);
    q.push_back(1);
    return q;
}

// A query message: header with `id`, recursion desired, one question.
inline std::vector<std::uint8_t> query_message(std::uint16_t id, const std::string& name, std::uint16_t type = 1)
{
    std::vector<std::uint8_t> m = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    const auto q = question(name, type);
    m.insert(m.end(), q.begin(), q.end());
    return m;
}

// An answer message to `query` with one A record pointing at `a`, padded with `padding`
// zero bytes after the records (servers do not pad; it makes long answers).
inline std::vector<std::uint8_t> answer_message(const std::vector<std::uint8_t>& query, std::uint16_t id,
                                                const std::uint8_t (&a)[4], std::size_t padding = 0)
{
    std::vector<std::uint8_t> m = query;
    m[0] = static_cast<std::uint8_t>(id >> 8);
    m[1] = static_cast<std::uint8_t>(id);
    m[2] = 0x81;
    m[3] = 0x80;
    m[7] = 1;
    const std::uint8_t record[] = {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, a[0], a[1], a[2], a[3]};
    m.insert(m.end(), std::begin(record), std::end(record));
    m.insert(m.end(), padding, 0);
    return m;
}

struct frame_shape {
    std::uint8_t client[4] = {10, 9, 0, 2};
    std::uint8_t server[4] = {10, 9, 0, 1};
    std::uint16_t client_port = 40000;
    std::uint8_t ihl = 5;
    std::uint16_t flags_fragment = 0;
};

// The client's IPv4/UDP frame to port 53 carrying `message`.
inline tarnwell::INTERMEDIATE_BUFFER query_frame(const std::vector<std::uint8_t>& message, const frame_shape& shape = {})
{
    tarnwell::INTERMEDIATE_BUFFER b{};
    std::uint8_t* f = b.frame;
    std::memcpy(f, gateway_mac, 6);
    std::memcpy(f + 6, client_mac, 6);
    f[12] = 0x08;
    f[13] = 0x00;
    std::uint8_t* ip = f + 14;
    const std::size_t ip_length = shape.ihl * 4u;
    ip[0] = static_cast<std::uint8_t>(0x40 | shape.ihl);
    net::store_be16(ip + 2, static_cast<std::uint16_t>(ip_length + 8 + message.size()));
    net::store_be16(ip + 4, 0x1234);
    net::store_be16(ip + 6, shape.flags_fragment);
    ip[8] = 64;
    ip[9] = 17;
    std::memcpy(ip + 12, shape.client, 4);
    std::memcpy(ip + 16, shape.server, 4);
    for (std::size_t i = 20; i < ip_length; ++i)
        ip[i] = 1;  // NOP options
    std::uint8_t* udp = ip + ip_length;
    net::store_be16(udp, shape.client_port);
    net::store_be16(udp + 2, 53);
    net::store_be16(udp + 4, static_cast<std::uint16_t>(8 + message.size()));
    std::memcpy(udp + 8, message.data(), message.size());
    b.length = static_cast<std::uint32_t>(14 + ip_length + 8 + message.size());
    net::refresh_udp_checksum(b);
    net::refresh_ip_checksum(b);
    return b;
}

// The pieces of a reply frame a client reads, after the checks its stack makes.
struct reply_view {
    bool checksums_ok = false;
    std::uint8_t ttl = 0;
    std::uint8_t source[4] = {};
    std::uint8_t destination[4] = {};
    std::uint16_t source_port = 0;
    std::uint16_t destination_port = 0;
    std::vector<std::uint8_t> message;
    bool macs_swapped = false;
};

inline reply_view read_reply(const std::uint8_t* f, std::size_t length)
{
    reply_view r;
    const std::size_t ip_length = (f[14] & 0x0F) * 4u;
    const std::uint8_t* ip = f + 14;
    const std::uint8_t* udp = ip + ip_length;
    const std::size_t total = net::load_be16(ip + 2);
    const std::size_t udp_length = net::load_be16(udp + 4);
    if (14 + total != length || udp_length != total - ip_length)
        return r;
    r.macs_swapped = std::memcmp(f, client_mac, 6) == 0 && std::memcmp(f + 6, gateway_mac, 6) == 0;
    r.ttl = ip[8];
    std::memcpy(r.source, ip + 12, 4);
    std::memcpy(r.destination, ip + 16, 4);
    r.source_port = net::load_be16(udp);
    r.destination_port = net::load_be16(udp + 2);
    r.message.assign(udp + 8, udp + udp_length);
    const bool ip_ok = net::ones_complement_sum(ip, ip_length) == 0xFFFF;
    // UDP pseudo-header: addresses, protocol, length.
    std::uint8_t pseudo[12];
    std::memcpy(pseudo, ip + 12, 8);
    pseudo[8] = 0;
    pseudo[9] = 17;
    net::store_be16(pseudo + 10, static_cast<std::uint16_t>(udp_length));
    const bool udp_ok = net::ones_complement_sum(udp, udp_length, net::ones_complement_sum(pseudo, 12)) == 0xFFFF;
    r.checksums_ok = ip_ok && udp_ok;
    return r;
}

inline reply_view read_reply(const tarnwell::INTERMEDIATE_BUFFER& b) { return read_reply(b.frame, b.length); }

}  // namespace dns_test
