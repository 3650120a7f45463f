#include "proxy/udp_redirect.h"

#include <cstring>

#include "net/byte_order.h"
#include "net/checksum.h"
#include "net/headers.h"
#include "proxy/tcp_redirect.h"

namespace proxy {

namespace {

// The datagram's UDP header when the frame is IPv4/UDP and not a fragment (the don't-
// fragment flag alone is fine), else null.
net::udp_header* unfragmented_udp(tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    const net::ipv4_header* ip = net::ipv4_header_of(buffer);
    if (!ip)
        return nullptr;
    const std::uint16_t fragment = net::network_to_host16(ip->flags_fragment);
    if (fragment != 0 && fragment != net::ip_flag_dont_fragment)
        return nullptr;
    return net::udp_header_of(buffer);
}

void add_to_lengths(tarnwell::INTERMEDIATE_BUFFER& buffer, net::ipv4_header& ip, net::udp_header& udp, int delta)
{
    buffer.length = static_cast<std::uint32_t>(static_cast<int>(buffer.length) + delta);
    ip.total_length = net::host_to_network16(static_cast<std::uint16_t>(net::network_to_host16(ip.total_length) + delta));
    udp.length = net::host_to_network16(static_cast<std::uint16_t>(net::network_to_host16(udp.length) + delta));
}

}  // namespace

udp_redirect::udp_redirect(std::uint16_t proxy_port, log_printer printer, log_level level, redirect_clock clock,
                           redirect_limits limits)
    : proxy_port_(proxy_port),
      printer_(std::move(printer)),
      level_(level),
      clock_(std::move(clock)),
      admission_(limits),
      expiry_([this] { expire_pass(); })
{
}

udp_redirect::~udp_redirect() { expiry_.stop(); }

bool udp_redirect::is_new_client_endpoint(const tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    auto& frame = const_cast<tarnwell::INTERMEDIATE_BUFFER&>(buffer);  // only read
    const net::udp_header* udp = unfragmented_udp(frame);
    if (!udp)
        return false;
    const net::endpoint_key client{net::ipv4_header_of(buffer)->source, net::network_to_host16(udp->source_port)};
    std::lock_guard lock(mutex_);
    if (table_.find(client) != table_.end() || !admission_.has_room(client.address))
        return false;
    table_.emplace(client, entry{clock_(), proxy_port_.load()});
    admission_.added(client.address);
    if (logs(log_level::debug))
        log("NEW client UDP endpoint: " + to_string(client));
    return true;
}

udp_redirect::outcome udp_redirect::client_to_server(tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    net::udp_header* udp = unfragmented_udp(buffer);
    if (!udp)
        return outcome::unchanged;
    net::ipv4_header* ip = net::ipv4_header_of(buffer);
    const net::endpoint_key client{ip->source, net::network_to_host16(udp->source_port)};
    std::uint16_t server_port = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = table_.find(client);
        if (it == table_.end())
            return admission_.has_room(client.address) ? outcome::unchanged : outcome::refused;
        it->second.last_activity = clock_();
        server_port = it->second.proxy_port;
    }
    const std::size_t udp_length = net::network_to_host16(udp->length);
    const auto layout = net::locate_ipv4(buffer);
    // A UDP length the IP datagram does not hold is the host stack's to reject, unchanged.
    if (!layout || udp_length < net::udp_header_size || udp_length > layout->transport_length)
        return outcome::unchanged;
    const std::size_t payload_offset = layout->transport_offset + net::udp_header_size;
    const std::size_t payload_length = udp_length - net::udp_header_size;
    if (payload_offset + payload_length + header_size > net::frame_capacity)
        return outcome::too_long;
    std::uint8_t* payload = buffer.frame + payload_offset;
    std::memmove(payload + header_size, payload, payload_length);
    payload[0] = 0;
    payload[1] = 0;
    payload[2] = 0;
    payload[3] = 1;
    ip->destination.to_bytes(payload + 4);
    std::memcpy(payload + 8, &udp->destination_port, 2);
    const net::ip_address_v4 destination = ip->destination;
    const std::uint16_t destination_port = net::network_to_host16(udp->destination_port);
    // The frame ends where the datagram ends: padding of a short frame is not payload, nor
    // are IP payload bytes past the UDP length, so the IP length ends there too.
    buffer.length = static_cast<std::uint32_t>(payload_offset + payload_length);
    ip->total_length = net::host_to_network16(static_cast<std::uint16_t>(layout->header_length + udp_length));
    add_to_lengths(buffer, *ip, *udp, static_cast<int>(header_size));
    std::uint32_t local = local_address_.load();
    std::memcpy(ip->destination.octets, &local, 4);
    udp->destination_port = net::host_to_network16(server_port);
    net::refresh_udp_checksum(buffer);
    net::refresh_ip_checksum(buffer);
    if (logs(log_level::all))
        log("C2S: " + to_string(client) + " -> " + net::to_string(destination) + " : " + std::to_string(destination_port) +
            " via " + net::to_string(ip->destination) + " : " + std::to_string(server_port));
    return outcome::rewritten;
}

bool udp_redirect::server_to_client(tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    net::udp_header* udp = unfragmented_udp(buffer);
    if (!udp)
        return false;
    net::ipv4_header* ip = net::ipv4_header_of(buffer);
    const net::endpoint_key client{ip->destination, net::network_to_host16(udp->destination_port)};
    const std::size_t udp_length = net::network_to_host16(udp->length);
    const auto layout = net::locate_ipv4(buffer);
    if (!layout || udp_length < net::udp_header_size + header_size || udp_length > layout->transport_length)
        return false;
    {
        std::lock_guard lock(mutex_);
        auto it = table_.find(client);
        if (it == table_.end() || it->second.proxy_port != net::network_to_host16(udp->source_port))
            return false;
        it->second.last_activity = clock_();
    }
    const std::size_t payload_offset = layout->transport_offset + net::udp_header_size;
    std::uint8_t* payload = buffer.frame + payload_offset;
    ip->source = net::ip_address_v4::from_bytes(payload + 4);
    std::memcpy(&udp->source_port, payload + 8, 2);
    const std::size_t rest = udp_length - net::udp_header_size - header_size;
    std::memmove(payload, payload + header_size, rest);
    buffer.length = static_cast<std::uint32_t>(payload_offset + rest + header_size);
    ip->total_length = net::host_to_network16(static_cast<std::uint16_t>(layout->header_length + udp_length));
    add_to_lengths(buffer, *ip, *udp, -static_cast<int>(header_size));
    net::refresh_udp_checksum(buffer);
    net::refresh_ip_checksum(buffer);
    if (logs(log_level::all))
        log("S2C: " + net::to_string(ip->source) + " : " + std::to_string(net::network_to_host16(udp->source_port)) +
            " -> " + to_string(client));
    return true;
}

void udp_redirect::expire_pass()
{
    std::vector<net::endpoint_key> dropped;
    {
        std::lock_guard lock(mutex_);
        const auto now = clock_();
        for (auto it = table_.begin(); it != table_.end();) {
            if (now - it->second.last_activity > idle_limit) {
                if (logs(log_level::debug))
                    log("DELETE UDP client endpoint (timeout): " + to_string(it->first));
                dropped.push_back(it->first);
                admission_.removed(it->first.address);
                it = table_.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (!dropped.empty() && expired_)
        expired_(dropped);
}

bool udp_redirect::knows_client(const net::endpoint_key& client)
{
    std::lock_guard lock(mutex_);
    return table_.find(client) != table_.end();
}

std::size_t udp_redirect::size()
{
    std::lock_guard lock(mutex_);
    return table_.size();
}

}  // namespace proxy
