#pragma once
// The UDP relay of one client endpoint through a SOCKS5 UDP ASSOCIATE session: datagrams go
// unchanged both ways, since the client's 10-byte header is exactly the request header the
// proxy's relay expects and the relay's answers carry the header the client reads.
//
// Owns the relay socket (connected to the proxy's relay) and the TCP control connection of
// the association; closing that connection ends the association. Owned by
// socks5_udp_proxy_server.

#include "proxy/udp_relay_socket.h"

namespace proxy {

class socks5_udp_proxy_socket : public udp_relay_socket {
public:
    socks5_udp_proxy_socket(buffer_pool& pool, platform::socket_handle server_socket,
                            platform::socket_handle relay_socket, platform::socket_handle control_socket,
                            const platform::socket_address& client, int client_length,
                            const client_endpoint& endpoint, log_printer printer, log_level level,
                            const udp_clock& clock);
    ~socks5_udp_proxy_socket() override;

    void process_receive_buffer_complete(std::uint32_t bytes, udp_io_context* ctx) override;
    void process_send_buffer_complete(std::uint32_t bytes, udp_io_context* ctx) override;
    void close_sockets() override;

protected:
    std::uint32_t post_relay_receive() override;

private:
    void log_line(const char* text, std::uint32_t bytes) const;

    platform::socket_handle control_socket_;  // owned
    std::string endpoint_text_;
};

}  // namespace proxy
