#pragma once
// A relayed TCP connection through an upstream HTTP proxy: CONNECT to the real destination
// on the remote socket, then the ordinary relay.
//
// Owns what tcp_proxy_socket owns plus the request and answer buffers. negotiate_state:
// 0 idle, 1 CONNECT sent, 2 established. The answer is accumulated across reads until its
// headers are complete (at most 1024 bytes); only a 2xx status line establishes the tunnel,
// and bytes that followed the headers in the same reads are the destination's first bytes:
// they are queued for the client ahead of everything the relay reads later.

#include <cstdint>

#include "proxy/negotiating_proxy_socket.h"

namespace proxy {

class http_tcp_proxy_socket : public negotiating_proxy_socket {
public:
    static constexpr std::uint32_t buffer_size = 1024;

    using negotiating_proxy_socket::negotiating_proxy_socket;

    // Slot 7: true for a direct connection; otherwise sends CONNECT and returns false.
    bool negotiate_with_proxy() override;
    // Slot 2.
    void process_receive_negotiate_complete(std::uint32_t bytes, per_io_context* ctx) override;

private:
    void begin_relay_locked() override;

    char request_[buffer_size] = {};
    char response_[buffer_size] = {};
    std::uint32_t received_ = 0;      // answer bytes so far
    std::uint32_t header_length_ = 0;  // of the answer, once established
};

}  // namespace proxy
