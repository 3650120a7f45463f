#pragma once
// In-place rewriters of one frame in an INTERMEDIATE_BUFFER, run on the packet filter
// threads. None allocates; none reads or writes outside the buffer whatever the headers claim.
//
// A frame that is not IPv4, not of the routine's protocol, or whose headers claim more than
// the 1514-byte frame area holds is left unchanged and the routine returns false.

#include <cstdint>

#include "tarnwell/control_interface.h"

namespace net {

// Makes a client SYN advertise an MSS of `mtu` - 40 when the external MTU is smaller than the
// client's. Called by the NAT gateway on segments whose flags byte is exactly SYN; it does not
// touch checksums (the caller recomputes them). An existing MSS option anywhere in the list
// gets the new value (even when it was smaller). Without one, a 4-byte MSS option is inserted
// first: everything after the fixed 20-byte header, options and any payload alike, moves 4
// bytes on, and data offset, IP total length and frame length grow by 4.
// Returns true when the segment now carries the clamped MSS. Left unchanged (false): mtu not
// below client_mtu or below 41; an option with length 0 or 1 or running past the header (the
// option list cannot be walked safely); no MSS option and the header already 60 bytes, or the
// grown datagram (or frame length) would exceed the frame area or 65535 bytes.
bool clamp_tcp_mss(tarnwell::INTERMEDIATE_BUFFER& buffer, std::uint32_t mtu, std::uint32_t client_mtu);

// Turns a datagram that is too big for `mtu` and may not be fragmented into the ICMP
// "fragmentation needed" reply to its sender: its IP header and first 8 payload bytes become
// the ICMP data, MACs and IP addresses are swapped, checksums refreshed and the frame length
// set to 42 + 4 * IHL + 8. The identification of the received datagram is kept.
// Returns false and leaves the frame unchanged when it is not IPv4, IHL is below 5, or the
// frame (by its length field) does not hold the header and 8 payload bytes.
bool make_fragmentation_needed(tarnwell::INTERMEDIATE_BUFFER& buffer, std::uint32_t mtu);

// Answers an NTP client request in place with the host's clock as a stratum-1 "LOCL" server:
// true when the frame became the reply (addresses and ports swapped, checksums refreshed),
// false when it was left unchanged (not UDP over IPv4, UDP length below 56, mode not client,
// or the 48-byte message not inside the datagram and the datagram not inside the frame area).
bool make_ntp_reply(tarnwell::INTERMEDIATE_BUFFER& buffer);
// The same with the clock given as milliseconds since 1970-01-01 UTC.
bool make_ntp_reply(tarnwell::INTERMEDIATE_BUFFER& buffer, std::uint64_t unix_milliseconds);

}  // namespace net
