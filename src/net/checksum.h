#pragma once
// Internet checksums of the frame in an INTERMEDIATE_BUFFER, always fully recomputed.
// Called on the packet filter threads for every translated packet: no allocation, no locks.
//
// Callers rewrite addresses and ports first, then refresh the transport checksum, then the IP
// header checksum last (the transport routines read the addresses for the pseudo-header).
//
// Untrusted frames: each routine first checks that the frame is IPv4 (EtherType 0x0800) with
// IHL >= 5 and, for the transport routines, that the protocol matches, that the total length
// covers the IP header and the transport header (TCP 20, UDP 8, ICMP 8 bytes), and that the
// datagram plus the zero pad byte of an odd length lies inside the 1514-byte frame area. A frame
// that fails these checks is left completely unchanged (the checksum is not refreshed and no
// pad byte is written); the buffer's frame length field is never consulted.

#include <cstddef>
#include <cstdint>

#include "tarnwell/control_interface.h"

namespace net {

// One's-complement sum of `length` bytes read as big-endian 16-bit words (an odd last byte
// is the high byte of a word whose low byte is zero), added to `initial` and folded to 16
// bits. Not complemented. Sums wide words internally; the result equals the 16-bit definition.
std::uint16_t ones_complement_sum(const void* data, std::size_t length, std::uint32_t initial = 0) noexcept;

void refresh_ip_checksum(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
// TCP: only when the protocol is 6; the result is stored as computed.
void refresh_tcp_checksum(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
// UDP: only when the protocol is 17; a result of 0 is stored as 0xFFFF (0 means "no checksum").
// The UDP length field is not used: the segment length comes from the IP header.
void refresh_udp_checksum(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;
// ICMP: only when the protocol is 1; no pseudo-header.
void refresh_icmp_checksum(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;

}  // namespace net
