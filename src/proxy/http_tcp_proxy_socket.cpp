#include "proxy/http_tcp_proxy_socket.h"

#include <cstdio>
#include <cstring>

#include "proxy/upstream_answers.h"

namespace proxy {

bool http_tcp_proxy_socket::negotiate_with_proxy()
{
    std::lock_guard lock(mutex_);
    if (!negotiate_context_)
        return true;
    if (negotiate_state_ != 0)
        return false;
    const std::string address = net::to_string(negotiate_context_->remote_address);
    const unsigned port = negotiate_context_->remote_port;
    const int n = std::snprintf(request_, sizeof request_,
                                "CONNECT %s:%u HTTP/1.1\r\nHost: %s:%u\r\nProxy-Connection: keep-alive\r\n"
                                "User-Agent: Mozilla/5.0\r\n\r\n",
                                address.c_str(), port, address.c_str(), port);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof request_) {
        close_remote_locked();
        return false;
    }
    send_negotiate_locked(request_, static_cast<std::uint32_t>(n));
    negotiate_state_ = 1;
    receive_negotiate_locked(response_, buffer_size);
    return false;
}

void http_tcp_proxy_socket::process_receive_negotiate_complete(std::uint32_t bytes, per_io_context* ctx)
{
    std::lock_guard lock(mutex_);
    negotiate_read_done_locked();
    if (ctx->is_local || negotiate_state_ != 1 || !remote_socket_.valid())
        return;
    received_ += bytes;
    const http_connect_answer answer = read_http_connect_answer(response_, received_);
    switch (answer.verdict) {
    case http_connect_verdict::incomplete:
        // Headers that do not fit the buffer are not an answer we can act on.
        if (received_ >= buffer_size)
            close_remote_locked();
        else
            receive_negotiate_locked(response_ + received_, buffer_size - received_);
        return;
    case http_connect_verdict::refused:
        close_remote_locked();
        return;
    case http_connect_verdict::established:
        negotiate_state_ = 2;
        header_length_ = static_cast<std::uint32_t>(answer.header_length);
        relay_when_written_locked();
        return;
    }
}

void http_tcp_proxy_socket::begin_relay_locked()
{
    // The destination's first bytes go into the downstream ring as if the relay had read
    // them, so the relay's later reads queue behind them.
    const std::uint32_t early = received_ - header_length_;
    std::memcpy(downstream_.data.data(), response_ + header_length_, early);
    downstream_.receive_at = early;
    if (!start_relay_locked() || early == 0 || !local_socket_.valid())
        return;
    local_send_window_ = {early, downstream_.data.data()};
    const std::uint32_t e = platform::post_send(local_socket_.get(), local_send_window_,
                                                &local_send_context_.overlapped);
    if (!platform::completion_follows(e)) {
        close_local_locked();
        local_send_window_.length = 0;
    }
}

}  // namespace proxy
