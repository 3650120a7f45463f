#pragma once
// A relayed TCP connection through an upstream SOCKS5 proxy: method selection, optional
// user name/password authentication and CONNECT to the real destination (always as an IPv4
// address) on the remote socket, then the ordinary relay.
//
// Owns what tcp_proxy_socket owns plus the SOCKS5 records. negotiate_state() holds a
// socks5_state. Each reply is accumulated across reads until complete, and the
// reads ask for no more than the rest of the current record, so bytes the destination sends
// right after the CONNECT reply stay in the socket for the relay.

#include <cstdint>

#include "proxy/negotiating_proxy_socket.h"
#include "proxy/upstream_answers.h"

namespace proxy {

// Where a SOCKS5 negotiation stands; the values are those negotiate_state() reports.
enum class socks5_state : std::uint32_t {
    idle = 0,
    method_sent = 1,
    method_received = 2,
    authentication_sent = 3,
    authentication_received = 4,
    request_sent = 5,
};

class socks5_tcp_proxy_socket : public negotiating_proxy_socket {
public:
    using negotiating_proxy_socket::negotiating_proxy_socket;

    // Slot 7: true for a direct connection; otherwise sends the method request, returns false.
    bool negotiate_with_proxy() override;
    // Slot 2.
    void process_receive_negotiate_complete(std::uint32_t bytes, per_io_context* ctx) override;

private:
    socks5_state state() const { return static_cast<socks5_state>(negotiate_state_); }
    void enter(socks5_state next) { negotiate_state_ = static_cast<std::uint32_t>(next); }
    void send_request_locked();
    // Reads the rest of the record being accumulated, up to `want` bytes in all.
    void read_record_locked(char* record, std::uint32_t want);
    void on_method_reply_locked();

    char socks5_ident_req_[4] = {5, 2, 0x00, 0x02};
    char socks5_ident_resp_[2] = {};  // also the authentication reply
    char socks5_request_[10] = {5, 1, 0, 1};
    char socks5_reply_[socks5_reply_maximum] = {};
    char socks5_auth_request_[513] = {};
    std::uint32_t received_ = 0;  // bytes of the current record so far
};

}  // namespace proxy
