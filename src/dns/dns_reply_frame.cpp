#include "dns/dns_reply_frame.h"

#include <algorithm>
#include <cstring>

#include "dns/dns_message.h"
#include "net/byte_order.h"
#include "net/checksum.h"
#include "net/headers.h"

namespace dns {

namespace {

constexpr std::uint16_t more_fragments_and_offset = 0x3FFF;
constexpr std::uint8_t reply_time_to_live = 128;

}  // namespace

std::optional<message_span> locate_message(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    const auto layout = net::locate_ipv4(buffer);
    if (!layout || layout->protocol != net::ip_protocol_udp)
        return std::nullopt;
    const net::ipv4_header* ip = net::ipv4_header_of(buffer);
    const net::udp_header* udp = net::udp_header_of(buffer);
    if (!ip || !udp || (net::network_to_host16(ip->flags_fragment) & more_fragments_and_offset) != 0)
        return std::nullopt;
    const std::size_t udp_length = net::network_to_host16(udp->length);
    if (udp_length < net::udp_header_size || udp_length > layout->transport_length)
        return std::nullopt;
    const std::size_t offset = layout->transport_offset + net::udp_header_size;
    const std::size_t length = udp_length - net::udp_header_size;
    if (offset + length > std::min<std::size_t>(buffer.length, net::frame_capacity))
        return std::nullopt;
    return message_span{offset, length};
}

reply_shape build_reply(tarnwell::INTERMEDIATE_BUFFER& frame, const message_span& query, std::uint16_t client_id,
                        const std::uint8_t* answer, std::size_t answer_length) noexcept
{
    std::uint8_t* message = frame.frame + query.offset;
    const std::size_t room = net::frame_capacity - query.offset;
    std::size_t length = 0;
    reply_shape shape = reply_shape::complete;
    if (answer_length <= room) {
        std::memcpy(message, answer, answer_length);
        length = answer_length;
    } else {
        // The query's own header and question are still in place; only the header changes.
        shape = reply_shape::truncated;
        length = header_size + single_question_length(message, query.length);
        const std::uint16_t flags = net::load_be16(answer + flags_offset) | flag_truncated;
        net::store_be16(message + flags_offset, flags);
        net::store_be16(message + question_count_offset, 1);
        net::store_be16(message + answer_count_offset, 0);
        net::store_be16(message + authority_count_offset, 0);
        net::store_be16(message + additional_count_offset, 0);
    }
    net::store_be16(message + id_offset, client_id);

    auto* ether = net::ether_header_of(frame);
    auto* ip = net::ipv4_header_of(frame);
    auto* udp = net::udp_header_of(frame);
    std::uint8_t mac[6];
    std::memcpy(mac, ether->source, 6);
    std::memcpy(ether->source, ether->destination, 6);
    std::memcpy(ether->destination, mac, 6);
    std::swap(ip->source, ip->destination);
    const std::size_t ip_header_length = query.offset - net::udp_header_size - net::ether_header_size;
    const std::size_t total_length = ip_header_length + net::udp_header_size + length;
    ip->total_length = net::host_to_network16(static_cast<std::uint16_t>(total_length));
    ip->time_to_live = reply_time_to_live;
    std::swap(udp->source_port, udp->destination_port);
    udp->length = net::host_to_network16(static_cast<std::uint16_t>(net::udp_header_size + length));
    frame.length = static_cast<std::uint32_t>(net::ether_header_size + total_length);
    net::refresh_udp_checksum(frame);
    net::refresh_ip_checksum(frame);
    return shape;
}

}  // namespace dns
