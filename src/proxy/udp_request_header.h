#pragma once
// The 10-byte header in front of every datagram between the gateway and its UDP servers, in
// the SOCKS5 UDP request format: RSV RSV FRAG ATYP=1, IPv4 address, port (network order).
// The gateway writes it, but anyone who can reach a server's port can send a datagram, so
// reading it trusts nothing and reads nothing past `length`.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "net/ip_address.h"

namespace proxy {

inline constexpr std::size_t udp_request_header_size = 10;

struct udp_request_destination {
    net::ip_address_v4 address;
    std::uint16_t port = 0;  // host order
};

// The destination a client's datagram names; its payload starts at udp_request_header_size.
// Nothing for a datagram shorter than the header, for a fragment (FRAG not 0: only whole
// datagrams are relayed) or for an address type other than IPv4, whose address bytes would
// otherwise be read as a wrong IPv4 destination. The reserved bytes are not examined.
std::optional<udp_request_destination> read_udp_request_header(const std::uint8_t* data, std::size_t length);

}  // namespace proxy
