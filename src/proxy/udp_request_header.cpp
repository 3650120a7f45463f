#include "proxy/udp_request_header.h"

#include "net/byte_order.h"

namespace proxy {
namespace {

constexpr std::size_t fragment_offset = 2;
constexpr std::size_t address_type_offset = 3;
constexpr std::size_t address_offset = 4;
constexpr std::size_t port_offset = 8;
constexpr std::uint8_t address_type_ipv4 = 1;

}  // namespace

std::optional<udp_request_destination> read_udp_request_header(const std::uint8_t* data, std::size_t length)
{
    if (data == nullptr || length < udp_request_header_size)
        return std::nullopt;
    if (data[fragment_offset] != 0 || data[address_type_offset] != address_type_ipv4)
        return std::nullopt;
    udp_request_destination destination;
    destination.address = net::ip_address_v4::from_bytes(data + address_offset);
    destination.port = net::load_be16(data + port_offset);
    return destination;
}

}  // namespace proxy
