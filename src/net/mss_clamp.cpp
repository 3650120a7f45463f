#include <cstring>

#include "net/byte_order.h"
#include "net/headers.h"
#include "net/rewriters.h"

namespace net {

namespace {

constexpr std::uint8_t tcp_option_end = 0;
constexpr std::uint8_t tcp_option_nop = 1;
constexpr std::uint8_t tcp_option_mss = 2;
constexpr std::size_t mss_option_size = 4;

enum class scan_result { found, absent, malformed };

// Walks the option area [20, header_length) of `tcp`. On `found`, `mss_at` is the offset of
// the MSS option (its 4 bytes lie inside the area).
scan_result find_mss_option(const std::uint8_t* tcp, std::size_t header_length, std::size_t& mss_at)
{
    std::size_t pos = tcp_header_min_size;
    while (pos < header_length) {
        const std::uint8_t kind = tcp[pos];
        if (kind == tcp_option_end)
            return scan_result::absent;
        if (kind == tcp_option_nop) {
            ++pos;
            continue;
        }
        if (kind == tcp_option_mss) {
            if (pos + mss_option_size > header_length)
                return scan_result::malformed;
            mss_at = pos;
            return scan_result::found;
        }
        if (pos + 1 >= header_length)
            return scan_result::malformed;
        const std::uint8_t length = tcp[pos + 1];
        // A length below 2 would never advance; one past the header means a lying list.
        if (length < 2 || pos + length > header_length)
            return scan_result::malformed;
        pos += length;
    }
    return scan_result::absent;
}

}  // namespace

bool clamp_tcp_mss(tarnwell::INTERMEDIATE_BUFFER& buffer, std::uint32_t mtu, std::uint32_t client_mtu)
{
    if (mtu >= client_mtu || mtu <= 40)
        return false;
    const auto layout = locate_ipv4(buffer);
    if (!layout || layout->protocol != ip_protocol_tcp || layout->transport_length < tcp_header_min_size)
        return false;
    std::uint8_t* tcp = buffer.frame + layout->transport_offset;
    const std::size_t header_length = static_cast<std::size_t>(tcp[12] >> 4) * 4;
    if (header_length < tcp_header_min_size || header_length > layout->transport_length)
        return false;
    const std::uint16_t mss = static_cast<std::uint16_t>(mtu - 40 > 0xFFFF ? 0xFFFF : mtu - 40);

    std::size_t mss_at = 0;
    switch (find_mss_option(tcp, header_length, mss_at)) {
    case scan_result::found:
        store_be16(tcp + mss_at + 2, mss);
        return true;
    case scan_result::malformed:
        return false;
    case scan_result::absent:
        break;
    }

    // Insert the option first. The data offset nibble cannot exceed 15 words.
    if (header_length + mss_option_size > 60)
        return false;
    const std::size_t new_total = layout->total_length + mss_option_size;
    if (ether_header_size + new_total > frame_capacity || buffer.length > frame_capacity - mss_option_size)
        return false;
    // Options and payload alike move on: a SYN may carry data (TCP Fast Open) and must not
    // lose it to the inserted option.
    std::memmove(tcp + tcp_header_min_size + mss_option_size, tcp + tcp_header_min_size,
                 layout->transport_length - tcp_header_min_size);
    tcp[20] = tcp_option_mss;
    tcp[21] = static_cast<std::uint8_t>(mss_option_size);
    store_be16(tcp + 22, mss);
    tcp[12] = static_cast<std::uint8_t>(tcp[12] + 0x10);
    store_be16(buffer.frame + ether_header_size + 2, static_cast<std::uint16_t>(new_total));
    buffer.length += mss_option_size;
    return true;
}

}  // namespace net
