#pragma once
// The UDP relay of one client endpoint through a SOCKS5 UDP ASSOCIATE session: datagrams go
// unchanged both ways, since the client's 10-byte header is exactly the request header the
// proxy's relay expects and the relay's answers carry the header the client reads.
//
// Owned by socks5_udp_proxy_server and, like every relay object, only touched under that
// server's mutex. It is made on the client's first datagram in the associating state,
// without sockets, while one of the server's associate threads asks the proxy for the
// association; the client's datagrams meanwhile wait here, at most `max_queued` of them (the
// rest are dropped). attach() then hands it the TCP control connection and the relay socket
// (connected to the proxy's relay); once the server has bound and started it, flush_queued()
// sends what waited, in order. Closing the control connection ends the association.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "proxy/udp_relay_socket.h"

namespace proxy {

class socks5_udp_proxy_socket : public udp_relay_socket {
public:
    static constexpr std::size_t default_max_queued = 8;

    // An object in the associating state; `association` names the associate job that will
    // finish it, so that a job never finishes a later object of the same endpoint.
    socks5_udp_proxy_socket(buffer_pool& pool, platform::socket_handle server_socket,
                            const platform::socket_address& client, int client_length,
                            const client_endpoint& endpoint, log_printer printer, log_level level,
                            const udp_clock& clock, std::uint64_t association,
                            std::size_t max_queued = default_max_queued);
    ~socks5_udp_proxy_socket() override;

    bool associating() const { return associating_; }
    std::uint64_t association() const { return association_; }
    std::size_t queued() const { return queued_.size(); }
    // Leaves the associating state owning both sockets; the caller binds and starts it.
    void attach(platform::unique_socket relay_socket, platform::unique_socket control_socket);
    // Sends the datagrams that waited for the association.
    void flush_queued();

    void process_receive_buffer_complete(std::uint32_t bytes, udp_io_context* ctx) override;
    void process_send_buffer_complete(std::uint32_t bytes, udp_io_context* ctx) override;
    void close_sockets() override;

protected:
    std::uint32_t post_relay_receive() override;

private:
    void send_to_relay(std::unique_ptr<pooled_buffer> datagram, std::uint32_t bytes);
    void drop_queued();
    void log_line(const char* text, std::uint32_t bytes) const;

    platform::unique_socket control_socket_;
    std::string endpoint_text_;
    std::uint64_t association_;
    std::size_t max_queued_;
    bool associating_ = true;
    std::vector<std::unique_ptr<pooled_buffer>> queued_;
};

}  // namespace proxy
