#include "net/checksum.h"

#include <bit>
#include <cstring>

#include "net/byte_order.h"
#include "net/headers.h"

namespace net {

namespace {

std::uint32_t load_native32(const std::uint8_t* p) noexcept
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

std::uint16_t load_native16(const std::uint8_t* p) noexcept
{
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

std::uint32_t fold(std::uint64_t sum) noexcept
{
    sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
    sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
    sum = (sum & 0xFFFFu) + (sum >> 16);
    sum = (sum & 0xFFFFu) + (sum >> 16);
    sum = (sum & 0xFFFFu) + (sum >> 16);
    return static_cast<std::uint32_t>(sum);
}

// The pseudo-header of TCP and UDP: both addresses, the protocol and the segment length.
std::uint32_t pseudo_header_sum(const std::uint8_t* ip, std::uint8_t protocol, std::size_t segment_length) noexcept
{
    std::uint32_t sum = 0;
    for (int i = 12; i < 20; i += 2)
        sum += load_be16(ip + i);
    sum += protocol;
    sum += static_cast<std::uint32_t>(segment_length & 0xFFFF);
    return sum;
}

// Refreshes the checksum at `checksum_offset` within the transport header. Returns without a
// change for anything that is not a well-formed datagram of `protocol` inside the frame area.
void refresh_transport(tarnwell::INTERMEDIATE_BUFFER& buffer, std::uint8_t protocol, std::size_t min_header,
                       std::size_t checksum_offset, bool pseudo_header, bool zero_is_ffff) noexcept
{
    const auto layout = locate_ipv4(buffer);
    if (!layout || layout->protocol != protocol || layout->transport_length < min_header)
        return;
    const std::size_t length = layout->transport_length;
    const bool odd = (length & 1) != 0;
    const std::size_t datagram_end = ether_header_size + layout->total_length;
    if (odd && datagram_end + 1 > frame_capacity)
        return;  // no room for the pad byte: treat as malformed

    std::uint8_t* transport = buffer.frame + layout->transport_offset;
    if (odd)
        buffer.frame[datagram_end] = 0;
    store_be16(transport + checksum_offset, 0);
    const std::uint32_t initial =
        pseudo_header ? pseudo_header_sum(buffer.frame + ether_header_size, protocol, length) : 0;
    std::uint16_t result = static_cast<std::uint16_t>(~ones_complement_sum(transport, length + (odd ? 1 : 0), initial));
    if (zero_is_ffff && result == 0)
        result = 0xFFFF;
    store_be16(transport + checksum_offset, result);
}

}  // namespace

std::uint16_t ones_complement_sum(const void* data, std::size_t length, std::uint32_t initial) noexcept
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    // Native-order words: the one's-complement sum is byte-order independent up to a final
    // byte swap, so little-endian hosts sum as they load and swap the folded result once.
    std::uint64_t a = 0, b = 0, c = 0, d = 0;
    while (length >= 16) {
        a += load_native32(p);
        b += load_native32(p + 4);
        c += load_native32(p + 8);
        d += load_native32(p + 12);
        p += 16;
        length -= 16;
    }
    std::uint64_t sum = a + b + c + d;  // no carry lost below 16 GiB per lane
    while (length >= 4) {
        sum += load_native32(p);
        p += 4;
        length -= 4;
    }
    if (length >= 2) {
        sum += load_native16(p);
        p += 2;
        length -= 2;
    }
    if (length != 0) {
        // The odd byte is the high byte of a big-endian word: in native little-endian order
        // that is the low byte.
        sum += std::endian::native == std::endian::little ? std::uint64_t{p[0]} : std::uint64_t{p[0]} << 8;
    }
    std::uint32_t folded = fold(sum);
    if constexpr (std::endian::native == std::endian::little)
        folded = byte_swap16(static_cast<std::uint16_t>(folded));
    return static_cast<std::uint16_t>(fold(std::uint64_t{folded} + initial));
}

void refresh_ip_checksum(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    if (load_be16(buffer.frame + 12) != ether_type_ipv4)
        return;
    std::uint8_t* ip = buffer.frame + ether_header_size;
    const std::size_t header_length = std::size_t{ip[0] & 0x0Fu} * 4;
    if (header_length < ipv4_header_min_size)
        return;  // the checksum field would not lie inside the claimed header
    // At most 60 bytes at frame offset 14: always inside the frame area.
    store_be16(ip + 10, 0);
    store_be16(ip + 10, static_cast<std::uint16_t>(~ones_complement_sum(ip, header_length)));
}

void refresh_tcp_checksum(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    refresh_transport(buffer, ip_protocol_tcp, tcp_header_min_size, 16, true, false);
}

void refresh_udp_checksum(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    refresh_transport(buffer, ip_protocol_udp, udp_header_size, 6, true, true);
}

void refresh_icmp_checksum(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    refresh_transport(buffer, ip_protocol_icmp, icmp_header_size, 2, false, false);
}

}  // namespace net
