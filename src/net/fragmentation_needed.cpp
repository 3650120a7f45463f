#include <algorithm>
#include <cstring>

#include "net/byte_order.h"
#include "net/checksum.h"
#include "net/headers.h"
#include "net/rewriters.h"

namespace net {

bool make_fragmentation_needed(tarnwell::INTERMEDIATE_BUFFER& buffer, std::uint32_t mtu)
{
    std::uint8_t* frame = buffer.frame;
    if (load_be16(frame + 12) != ether_type_ipv4)
        return false;
    std::uint8_t* ip = frame + ether_header_size;
    const std::size_t header_length = std::size_t{ip[0] & 0x0Fu} * 4;
    if (header_length < ipv4_header_min_size)
        return false;
    // The quoted part: the whole IP header and the first 8 payload bytes (at most 68 bytes,
    // so the reply of at most 110 bytes always fits). They must really be in the frame.
    const std::size_t quoted = header_length + 8;
    const std::size_t frame_length = std::min<std::size_t>(buffer.length, frame_capacity);
    if (ether_header_size + quoted > frame_length)
        return false;

    constexpr std::size_t icmp_offset = ether_header_size + ipv4_header_min_size;
    constexpr std::size_t quote_offset = icmp_offset + icmp_header_size;
    // Source [14, 14 + quoted) and target [42, 42 + quoted) overlap; bytes 14..41, which hold
    // the original fixed header, are not written by the move.
    std::memmove(frame + quote_offset, frame + ether_header_size, quoted);

    std::uint8_t mac[6];
    std::memcpy(mac, frame, 6);
    std::memcpy(frame, frame + 6, 6);
    std::memcpy(frame + 6, mac, 6);

    std::uint8_t address[4];
    std::memcpy(address, ip + 12, 4);
    std::memcpy(ip + 12, ip + 16, 4);
    std::memcpy(ip + 16, address, 4);

    ip[0] = 0x45;
    ip[1] = 0;
    store_be16(ip + 2, static_cast<std::uint16_t>(ipv4_header_min_size + icmp_header_size + quoted));
    store_be16(ip + 6, ip_flag_dont_fragment);
    ip[8] = 30;
    ip[9] = ip_protocol_icmp;

    std::uint8_t* icmp = frame + icmp_offset;
    icmp[0] = 3;  // destination unreachable
    icmp[1] = 4;  // fragmentation needed and don't fragment set
    store_be16(icmp + 4, 0);
    store_be16(icmp + 6, static_cast<std::uint16_t>(std::min<std::uint32_t>(mtu, 0xFFFF)));

    refresh_icmp_checksum(buffer);
    refresh_ip_checksum(buffer);
    buffer.length = static_cast<std::uint32_t>(quote_offset + quoted);
    return true;
}

}  // namespace net
