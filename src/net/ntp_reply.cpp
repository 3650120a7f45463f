#include <chrono>
#include <cstring>

#include "net/byte_order.h"
#include "net/checksum.h"
#include "net/headers.h"
#include "net/rewriters.h"

namespace net {

namespace {

constexpr std::size_t ntp_message_size = 48;
constexpr std::uint32_t ntp_unix_epoch_offset = 2208988800u;  // seconds from 1900 to 1970

void swap_bytes(std::uint8_t* a, std::uint8_t* b, std::size_t n)
{
    std::uint8_t tmp[6];
    std::memcpy(tmp, a, n);
    std::memcpy(a, b, n);
    std::memcpy(b, tmp, n);
}

}  // namespace

bool make_ntp_reply(tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return make_ntp_reply(buffer, static_cast<std::uint64_t>(now.count()));
}

bool make_ntp_reply(tarnwell::INTERMEDIATE_BUFFER& buffer, std::uint64_t unix_milliseconds)
{
    // The whole datagram must be sound, not only the message: the checksum refresh at the end
    // skips malformed datagrams, and a reply with a stale checksum must not be reported sent.
    // (locate_ipv4 bounds the datagram to 1500 bytes, so an odd one still has room for its pad.)
    const auto layout = locate_ipv4(buffer);
    if (!layout || layout->protocol != ip_protocol_udp ||
        layout->transport_length < udp_header_size + ntp_message_size)
        return false;
    std::uint8_t* frame = buffer.frame;
    std::uint8_t* ip = frame + ether_header_size;
    std::uint8_t* udp = frame + layout->transport_offset;
    if (load_be16(udp + 4) < udp_header_size + ntp_message_size)
        return false;
    std::uint8_t* ntp = udp + udp_header_size;
    if ((ntp[0] & 0x07) != 3)
        return false;

    const std::uint32_t seconds = static_cast<std::uint32_t>(unix_milliseconds / 1000) + ntp_unix_epoch_offset;
    const std::uint32_t m = static_cast<std::uint32_t>(unix_milliseconds % 1000);
    // m * 2^32 / 1000 in 32-bit arithmetic.
    const std::uint32_t fraction = m * 4294000u + ((m * 1981000u) >> 11);

    std::uint8_t request_transmit[8];
    std::memcpy(request_transmit, ntp + 40, 8);

    ntp[0] = static_cast<std::uint8_t>((ntp[0] & 0x38) | 4);  // leap 0, version kept, mode server
    ntp[1] = 1;                                                // stratum: primary reference
    ntp[3] = 0xEC;                                             // precision 2^-20 s
    std::memset(ntp + 4, 0, 8);                                // root delay and dispersion
    std::memcpy(ntp + 12, "LOCL", 4);
    store_be32(ntp + 16, seconds - 60);
    store_be32(ntp + 20, fraction);
    std::memcpy(ntp + 24, request_transmit, 8);
    store_be32(ntp + 32, seconds);
    store_be32(ntp + 36, fraction);
    store_be32(ntp + 40, seconds);
    store_be32(ntp + 44, fraction + 2);

    swap_bytes(frame, frame + 6, 6);
    swap_bytes(ip + 12, ip + 16, 4);
    swap_bytes(udp, udp + 2, 2);

    refresh_udp_checksum(buffer);
    refresh_ip_checksum(buffer);
    return true;
}

}  // namespace net
