#include "proxy/tcp_redirect.h"

#include "net/byte_order.h"
#include "net/checksum.h"
#include "net/headers.h"

namespace proxy {

namespace {

bool is_syn_only(const net::tcp_header& tcp) { return tcp.flags == net::tcp_flag_syn; }
bool ends_connection(const net::tcp_header& tcp) { return (tcp.flags & (net::tcp_flag_fin | net::tcp_flag_rst)) != 0; }

std::string endpoints(const net::endpoint_key& client, net::ip_address_v4 address, std::uint16_t port)
{
    return to_string(client) + " -> " + net::to_string(address) + " : " + std::to_string(port);
}

}  // namespace

std::string to_string(const net::endpoint_key& endpoint)
{
    return net::to_string(endpoint.address) + " : " + std::to_string(endpoint.port);
}

tcp_redirect::tcp_redirect(std::uint16_t proxy_port, log_printer printer, log_level level, redirect_clock clock,
                           redirect_limits limits)
    : proxy_port_(proxy_port),
      printer_(std::move(printer)),
      level_(level),
      clock_(std::move(clock)),
      admission_(limits),
      expiry_([this] { expire_pass(); })
{
}

tcp_redirect::~tcp_redirect() { expiry_.stop(); }

net::ip_address_v4 tcp_redirect::local_address() const
{
    const std::uint32_t raw = local_address_.load();
    net::ip_address_v4 address;
    std::memcpy(address.octets, &raw, 4);
    return address;
}

tcp_redirect::outcome tcp_redirect::client_to_server(tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    net::ipv4_header* ip = net::ipv4_header_of(buffer);
    net::tcp_header* tcp = net::tcp_header_of(buffer);
    if (!ip || !tcp)
        return outcome::unchanged;
    const net::endpoint_key client{ip->source, net::network_to_host16(tcp->source_port)};
    const std::uint16_t destination_port = net::network_to_host16(tcp->destination_port);
    std::uint16_t server_port = 0;
    {
        std::lock_guard lock(mutex_);
        const auto now = clock_();
        auto it = table_.find(client);
        if (is_syn_only(*tcp)) {
            if (it == table_.end()) {
                if (!admission_.has_room(client.address))
                    return outcome::refused;
                it = table_.emplace(client, entry{ip->destination, destination_port, now, proxy_port_.load()}).first;
                admission_.added(client.address);
                if (logs(log_level::debug))
                    log("NEW TCP: " + endpoints(client, ip->destination, destination_port));
            } else if (it->second.address == ip->destination && it->second.port == destination_port) {
                it->second.last_activity = now;  // a retransmitted SYN
            } else {
                it->second = entry{ip->destination, destination_port, now, proxy_port_.load()};
                if (logs(log_level::debug))
                    log("NEW TCP (endpoint reused): " + endpoints(client, ip->destination, destination_port));
            }
            server_port = it->second.proxy_port;
        } else {
            if (it == table_.end())
                return outcome::unchanged;
            server_port = it->second.proxy_port;
            if (!ends_connection(*tcp)) {
                it->second.last_activity = now;
            } else {
                if (logs(log_level::debug))
                    log("DELETE TCP: " + endpoints(client, it->second.address, it->second.port));
                admission_.removed(client.address);
                table_.erase(it);
            }
        }
    }
    ip->destination = local_address();
    tcp->destination_port = net::host_to_network16(server_port);
    net::refresh_tcp_checksum(buffer);
    net::refresh_ip_checksum(buffer);
    return outcome::rewritten;
}

bool tcp_redirect::server_to_client(tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    net::ipv4_header* ip = net::ipv4_header_of(buffer);
    net::tcp_header* tcp = net::tcp_header_of(buffer);
    if (!ip || !tcp)
        return false;
    const net::endpoint_key client{ip->destination, net::network_to_host16(tcp->destination_port)};
    net::ip_address_v4 original;
    std::uint16_t original_port = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = table_.find(client);
        if (it == table_.end() || it->second.proxy_port != net::network_to_host16(tcp->source_port))
            return false;
        original = it->second.address;
        original_port = it->second.port;
        if (!ends_connection(*tcp)) {
            it->second.last_activity = clock_();
        } else {
            if (logs(log_level::debug))
                log("DELETE TCP: " + endpoints(client, original, original_port));
            admission_.removed(client.address);
            table_.erase(it);
        }
    }
    ip->source = original;
    tcp->source_port = net::host_to_network16(original_port);
    net::refresh_tcp_checksum(buffer);
    net::refresh_ip_checksum(buffer);
    return true;
}

void tcp_redirect::expire_pass()
{
    std::lock_guard lock(mutex_);
    const auto now = clock_();
    for (auto it = table_.begin(); it != table_.end();) {
        if (now - it->second.last_activity > idle_limit) {
            if (logs(log_level::debug))
                log("DELETE TCP (timeout): " + endpoints(it->first, it->second.address, it->second.port));
            admission_.removed(it->first.address);
            it = table_.erase(it);
        } else {
            ++it;
        }
    }
}

std::size_t tcp_redirect::size()
{
    std::lock_guard lock(mutex_);
    return table_.size();
}

}  // namespace proxy
