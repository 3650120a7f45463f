// The 10-byte destination header of the UDP relays, from both of its sources:
//   - a datagram as any sender may put it on the server's port (the input itself, as its
//     own heap block of exactly its size, so that a read past it is reported);
//   - the header the gateway's redirect writes into a client's datagram: read back, it must
//     name the destination the client addressed.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "net/byte_order.h"
#include "net/fuzz_frame.h"
#include "net/headers.h"
#include "proxy/udp_redirect.h"
#include "proxy/udp_request_header.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void check_datagram(const std::uint8_t* data, std::size_t size)
{
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size + (size == 0)]);
    std::memcpy(copy.get(), data, size);
    const auto destination = proxy::read_udp_request_header(copy.get(), size);
    const bool well_formed = size >= proxy::udp_request_header_size && data[2] == 0 && data[3] == 1;
    require(destination.has_value() == well_formed);
    if (destination) {
        require(std::memcmp(destination->address.octets, data + 4, 4) == 0);
        require(destination->port == net::load_be16(data + 8));
    }
}

void check_redirect_header(const std::uint8_t* data, std::size_t size)
{
    // One table for the whole run; its clock only moves here, to empty it now and then so
    // that the run's memory stays flat.
    static std::chrono::steady_clock::time_point now{};
    static proxy::udp_redirect redirect(61001, {}, log_level::none, [] { return now; });
    if (redirect.size() > 4096) {
        now += std::chrono::hours(1);
        redirect.expire_pass();
    }
    redirect.set_local_address(net::ip_address_v4{10, 9, 0, 1});
    auto frame = net_fuzz::frame_from_input(data, size);
    const net::ipv4_header* ip = net::ipv4_header_of(*frame);
    const net::udp_header* udp = net::udp_header_of(*frame);
    if (!ip || !udp)
        return;
    const net::ip_address_v4 destination = ip->destination;
    const std::uint16_t port = net::network_to_host16(udp->destination_port);
    redirect.is_new_client_endpoint(*frame);
    if (redirect.client_to_server(*frame) != proxy::udp_redirect::outcome::rewritten)
        return;
    const auto layout = net::locate_ipv4(*frame);
    require(layout && layout->transport_length >= net::udp_header_size + proxy::udp_request_header_size);
    const std::uint8_t* payload = frame->frame + layout->transport_offset + net::udp_header_size;
    const auto named = proxy::read_udp_request_header(payload, layout->transport_length - net::udp_header_size);
    require(named && named->address == destination && named->port == port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    check_datagram(data, size);
    check_redirect_header(data, size);
    return 0;
}
