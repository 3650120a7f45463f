#pragma once
// Header records laid over the Ethernet II frame of an INTERMEDIATE_BUFFER, and accessors that
// only hand out a record when the whole record lies inside the 1514-byte frame area.
//
// Multi-byte fields hold wire (big-endian) values; convert them with net/byte_order.h.
// Addresses are ip_address_v4 values copied as they are. No VLAN tag is parsed: the
// EtherType is always at frame offset 12 and the IPv4 header at offset 14.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "net/byte_order.h"
#include "net/ip_address.h"
#include "tarnwell/control_interface.h"

namespace net {

inline constexpr std::uint16_t ether_type_ipv4 = 0x0800;
inline constexpr std::uint8_t ip_protocol_icmp = 1;
inline constexpr std::uint8_t ip_protocol_tcp = 6;
inline constexpr std::uint8_t ip_protocol_udp = 17;
inline constexpr std::uint16_t ip_flag_dont_fragment = 0x4000;

inline constexpr std::uint8_t tcp_flag_fin = 0x01;
inline constexpr std::uint8_t tcp_flag_syn = 0x02;
inline constexpr std::uint8_t tcp_flag_rst = 0x04;
inline constexpr std::uint8_t tcp_flag_psh = 0x08;
inline constexpr std::uint8_t tcp_flag_ack = 0x10;
inline constexpr std::uint8_t tcp_flag_urg = 0x20;

inline constexpr std::size_t frame_capacity = tarnwell::MAX_ETHER_FRAME;
inline constexpr std::size_t ether_header_size = 14;
inline constexpr std::size_t ipv4_header_min_size = 20;
inline constexpr std::size_t tcp_header_min_size = 20;
inline constexpr std::size_t udp_header_size = 8;
inline constexpr std::size_t icmp_header_size = 8;

#pragma pack(push, 1)

struct ether_header {
    std::uint8_t destination[6];
    std::uint8_t source[6];
    std::uint16_t ether_type;
};

struct ipv4_header {
    std::uint8_t version_ihl;  // version in the high nibble, header length in words in the low
    std::uint8_t type_of_service;
    std::uint16_t total_length;
    std::uint16_t identification;
    std::uint16_t flags_fragment;
    std::uint8_t time_to_live;
    std::uint8_t protocol;
    std::uint16_t checksum;
    ip_address_v4 source;
    ip_address_v4 destination;
};

struct tcp_header {
    std::uint16_t source_port;
    std::uint16_t destination_port;
    std::uint32_t sequence;
    std::uint32_t acknowledgement;
    std::uint8_t data_offset;  // header length in words in the high nibble
    std::uint8_t flags;
    std::uint16_t window;
    std::uint16_t checksum;
    std::uint16_t urgent_pointer;
};

struct udp_header {
    std::uint16_t source_port;
    std::uint16_t destination_port;
    std::uint16_t length;
    std::uint16_t checksum;
};

struct icmp_header {
    std::uint8_t type;
    std::uint8_t code;
    std::uint16_t checksum;
    std::uint16_t identifier;  // echo identifier; unused (zero) in destination unreachable
    std::uint16_t sequence;    // echo sequence; next-hop MTU in fragmentation needed
};

#pragma pack(pop)

static_assert(sizeof(ether_header) == 14);
static_assert(sizeof(ipv4_header) == 20);
static_assert(offsetof(ipv4_header, source) == 12);
static_assert(sizeof(tcp_header) == 20);
static_assert(offsetof(tcp_header, checksum) == 16);
static_assert(sizeof(udp_header) == 8);
static_assert(sizeof(icmp_header) == 8);

// Where an IPv4 datagram sits in a frame, checked against the frame area (never against the
// buffer's length field, which the checksum routines do not trust either). Offsets are from
// the start of the frame.
struct ipv4_layout {
    std::size_t header_length;     // 4 * IHL, at least 20
    std::size_t total_length;      // the header's total length, at least header_length
    std::uint8_t protocol;
    std::size_t transport_offset;  // 14 + header_length
    std::size_t transport_length;  // total_length - header_length
};

// The layout of the frame's IPv4 datagram when the EtherType is IPv4, IHL is at least 5,
// total length covers the header and the whole datagram lies inside the frame area;
// std::nullopt otherwise.
std::optional<ipv4_layout> locate_ipv4(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;

// Records inside a frame, or nullptr when the frame is not IPv4 of the right protocol or the
// record would not lie inside both the datagram and the frame area.
ether_header* ether_header_of(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
ipv4_header* ipv4_header_of(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
tcp_header* tcp_header_of(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
udp_header* udp_header_of(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
icmp_header* icmp_header_of(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
const ether_header* ether_header_of(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
const ipv4_header* ipv4_header_of(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
const tcp_header* tcp_header_of(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
const udp_header* udp_header_of(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
const icmp_header* icmp_header_of(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;

}  // namespace net
