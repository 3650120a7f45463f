#include "proxy/socks5_udp_proxy_server.h"

#include "proxy/socks5_associate.h"
#include "proxy/socks5_udp_proxy_socket.h"

namespace proxy {

socks5_udp_proxy_server::socks5_udp_proxy_server(std::uint16_t port, io_completion_port& completion_port,
                                                 query_remote_peer query, log_printer printer, log_level level,
                                                 net::ip_address_v4 bind_address, udp_clock clock)
    : udp_proxy_server_core("socks5_udp_proxy_server", port, completion_port, std::move(query), std::move(printer),
                            level, bind_address, std::move(clock))
{
}

socks5_udp_proxy_server::~socks5_udp_proxy_server() { stop(); }

udp_relay_socket* socks5_udp_proxy_server::connect_to_remote_host(const client_endpoint& client,
                                                                  const platform::socket_address& address,
                                                                  int address_length)
{
    if (!query_remote_peer_)
        return nullptr;
    const auto [proxy_address, proxy_port, context] =
        query_remote_peer_(net::ip_address_v4::from_bytes(client.address), client.port);
    if (udp_relay_socket* existing = find(client))
        return existing;
    if (proxy_port == 0)
        return nullptr;
    const std::string proxy_text = net::to_string(proxy_address) + " : " + std::to_string(proxy_port);
    if (logs(log_level::all))
        log("connect_to_remote_host: Connect to SOCKS5 proxy and send ASSOCIATE command: " + proxy_text);

    std::uint32_t error = 0;
    platform::socket_handle control = platform::open_tcp_socket(error);
    if (control == platform::invalid_socket)
        return nullptr;
    if (platform::bind_any_for_connect(control) != 0 ||
        platform::connect_ipv4_wait(control, proxy_address.to_in_addr(), proxy_port, connect_timeout_ms) != 0) {
        if (logs(log_level::debug))
            log("connect_to_remote_host: Failed to connect to SOCKS5 proxy: " + proxy_text);
        platform::close_socket(control);
        return nullptr;
    }
    const std::optional<std::uint16_t> relay_port = associate_to_socks5_proxy(control, printer_, level_);
    if (!relay_port) {
        if (logs(log_level::debug))
            log("connect_to_remote_host: ASSOCIATE command has failed: " + proxy_text);
        platform::shutdown_and_close(control);
        return nullptr;
    }
    if (logs(log_level::all))
        log("connect_to_remote_host:  UDP connect: " + net::to_string(proxy_address) + " : " +
            std::to_string(*relay_port));
    const platform::socket_handle relay = platform::open_udp_socket(error);
    if (relay == platform::invalid_socket || platform::bind_ipv4(relay, in_addr{}, 0) != 0 ||
        platform::connect_ipv4(relay, proxy_address.to_in_addr(), *relay_port) != 0) {
        if (relay != platform::invalid_socket)
            platform::close_socket(relay);
        platform::shutdown_and_close(control);
        return nullptr;
    }
    return adopt(client, std::make_unique<socks5_udp_proxy_socket>(buffer_pool_, server_socket_, relay, control,
                                                                   address, address_length, client, printer_,
                                                                   level_, clock_));
}

}  // namespace proxy
