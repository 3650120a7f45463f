#pragma once
// The local UDP proxy server used while a SOCKS5 upstream proxy is selected: each client
// endpoint gets its own UDP ASSOCIATE session with the proxy (asked for on its first
// datagram, blocking that completion worker for the TCP connect and the exchange), and its
// datagrams pass unchanged to and from the proxy's relay. A refused or failed association
// drops the datagram that caused it; the client's next datagram tries again.
//
// The gateway's query_remote_peer answers with the proxy's address and port.

#include "proxy/udp_proxy_server.h"

namespace proxy {

class socks5_udp_proxy_server : public udp_proxy_server_core {
public:
    // How long the blocking connect to the proxy may take.
    static constexpr std::uint32_t connect_timeout_ms = 5000;

    socks5_udp_proxy_server(std::uint16_t port, io_completion_port& completion_port, query_remote_peer query,
                            log_printer printer, log_level level, net::ip_address_v4 bind_address = {},
                            udp_clock clock = &std::chrono::steady_clock::now);
    ~socks5_udp_proxy_server() override;

protected:
    udp_relay_socket* connect_to_remote_host(const client_endpoint& client, const platform::socket_address& address,
                                             int address_length) override;
};

}  // namespace proxy
