#include "net/headers.h"

namespace net {

namespace {

template <typename Record>
Record* transport_record(const tarnwell::INTERMEDIATE_BUFFER& buffer, std::uint8_t protocol,
                         std::size_t size) noexcept
{
    const auto layout = locate_ipv4(buffer);
    if (!layout || layout->protocol != protocol || layout->transport_length < size)
        return nullptr;
    // locate_ipv4 guarantees the datagram, hence the record, lies inside the frame area.
    auto* frame = const_cast<std::uint8_t*>(buffer.frame);
    return reinterpret_cast<Record*>(frame + layout->transport_offset);
}

}  // namespace

std::optional<ipv4_layout> locate_ipv4(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    const std::uint8_t* frame = buffer.frame;
    if (load_be16(frame + 12) != ether_type_ipv4)
        return std::nullopt;
    const std::uint8_t* ip = frame + ether_header_size;
    const std::size_t header_length = std::size_t{ip[0] & 0x0Fu} * 4;
    const std::size_t total_length = load_be16(ip + 2);
    if (header_length < ipv4_header_min_size || total_length < header_length ||
        total_length > frame_capacity - ether_header_size)
        return std::nullopt;
    return ipv4_layout{header_length, total_length, ip[9], ether_header_size + header_length,
                       total_length - header_length};
}

const ether_header* ether_header_of(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    return reinterpret_cast<const ether_header*>(buffer.frame);
}

ether_header* ether_header_of(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    return reinterpret_cast<ether_header*>(buffer.frame);
}

const ipv4_header* ipv4_header_of(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    if (!locate_ipv4(buffer))
        return nullptr;
    return reinterpret_cast<const ipv4_header*>(buffer.frame + ether_header_size);
}

ipv4_header* ipv4_header_of(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    return const_cast<ipv4_header*>(ipv4_header_of(static_cast<const tarnwell::INTERMEDIATE_BUFFER&>(buffer)));
}

const tcp_header* tcp_header_of(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    return transport_record<tcp_header>(buffer, ip_protocol_tcp, tcp_header_min_size);
}

tcp_header* tcp_header_of(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    return transport_record<tcp_header>(buffer, ip_protocol_tcp, tcp_header_min_size);
}

const udp_header* udp_header_of(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    return transport_record<udp_header>(buffer, ip_protocol_udp, udp_header_size);
}

udp_header* udp_header_of(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    return transport_record<udp_header>(buffer, ip_protocol_udp, udp_header_size);
}

const icmp_header* icmp_header_of(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    return transport_record<icmp_header>(buffer, ip_protocol_icmp, icmp_header_size);
}

icmp_header* icmp_header_of(tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept
{
    return transport_record<icmp_header>(buffer, ip_protocol_icmp, icmp_header_size);
}

}  // namespace net
