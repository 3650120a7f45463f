#include "proxy/socks5_tcp_proxy_socket.h"

#include <cstring>

namespace proxy {

bool socks5_tcp_proxy_socket::negotiate_with_proxy()
{
    std::lock_guard lock(mutex_);
    if (!negotiate_context_)
        return true;
    if (state() != socks5_state::idle)
        return false;
    send_negotiate_locked(socks5_ident_req_, sizeof socks5_ident_req_);
    enter(socks5_state::method_sent);
    received_ = 0;
    read_record_locked(socks5_ident_resp_, sizeof socks5_ident_resp_);
    return false;
}

void socks5_tcp_proxy_socket::read_record_locked(char* record, std::uint32_t want)
{
    receive_negotiate_locked(record + received_, want - received_);
}

void socks5_tcp_proxy_socket::send_request_locked()
{
    const std::uint16_t port = negotiate_context_->remote_port;
    std::memcpy(socks5_request_ + 4, negotiate_context_->remote_address.octets, 4);
    socks5_request_[8] = static_cast<char>(port >> 8);
    socks5_request_[9] = static_cast<char>(port & 0xFF);
    send_negotiate_locked(socks5_request_, sizeof socks5_request_);
    enter(socks5_state::request_sent);
    received_ = 0;
    read_record_locked(socks5_reply_, socks5_reply_minimum);
}

void socks5_tcp_proxy_socket::on_method_reply_locked()
{
    enter(socks5_state::method_received);
    const auto version = static_cast<std::uint8_t>(socks5_ident_resp_[0]);
    const auto method = static_cast<std::uint8_t>(socks5_ident_resp_[1]);
    if (version != 5 || method == 0xFF) {
        close_remote_locked();
        return;
    }
    if (method != 0x02) {
        send_request_locked();
        return;
    }
    const auto* credentials = dynamic_cast<const socks5_negotiate_context*>(negotiate_context_.get());
    if (!credentials || !credentials->user_name || !credentials->password) {
        close_remote_locked();
        return;
    }
    const std::string& user = *credentials->user_name;
    const std::string& pass = *credentials->password;
    if (user.empty() || user.size() > 255 || pass.empty() || pass.size() > 255) {
        close_remote_locked();
        return;
    }
    char* out = socks5_auth_request_;
    *out++ = 1;
    *out++ = static_cast<char>(user.size());
    std::memcpy(out, user.data(), user.size());
    out += user.size();
    *out++ = static_cast<char>(pass.size());
    std::memcpy(out, pass.data(), pass.size());
    send_negotiate_locked(socks5_auth_request_, static_cast<std::uint32_t>(user.size() + pass.size() + 3));
    enter(socks5_state::authentication_sent);
    received_ = 0;
    read_record_locked(socks5_ident_resp_, sizeof socks5_ident_resp_);
}

void socks5_tcp_proxy_socket::process_receive_negotiate_complete(std::uint32_t bytes, per_io_context* ctx)
{
    std::lock_guard lock(mutex_);
    negotiate_read_done_locked();
    if (ctx->is_local || !remote_socket_.valid())
        return;
    received_ += bytes;
    switch (state()) {
    case socks5_state::method_sent:
        if (received_ < sizeof socks5_ident_resp_)
            return read_record_locked(socks5_ident_resp_, sizeof socks5_ident_resp_);
        return on_method_reply_locked();
    case socks5_state::authentication_sent:
        if (received_ < sizeof socks5_ident_resp_)
            return read_record_locked(socks5_ident_resp_, sizeof socks5_ident_resp_);
        enter(socks5_state::authentication_received);
        if (socks5_ident_resp_[1] != 0)
            return close_remote_locked();
        return send_request_locked();
    case socks5_state::request_sent: {
        const int length = socks5_reply_length(reinterpret_cast<const std::uint8_t*>(socks5_reply_), received_);
        if (length < 0)
            return close_remote_locked();
        // A refusal needs no more of the reply.
        if (received_ >= 2 && socks5_reply_[1] != 0)
            return close_remote_locked();
        const auto want = length == 0 ? static_cast<std::uint32_t>(socks5_reply_minimum)
                                      : static_cast<std::uint32_t>(length);
        if (received_ < want)
            return read_record_locked(socks5_reply_, want);
        return relay_when_written_locked();
    }
    default:
        return;
    }
}

}  // namespace proxy
