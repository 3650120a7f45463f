#include "proxy/socks5_udp_proxy_socket.h"

#include <cstring>

namespace proxy {

socks5_udp_proxy_socket::socks5_udp_proxy_socket(buffer_pool& pool, platform::socket_handle server_socket,
                                                 platform::socket_handle relay_socket,
                                                 platform::socket_handle control_socket,
                                                 const platform::socket_address& client, int client_length,
                                                 const client_endpoint& endpoint, log_printer printer,
                                                 log_level level, const udp_clock& clock)
    : udp_relay_socket(pool, server_socket, relay_socket, client, client_length, std::move(printer), level, clock,
                       "socks5_udp_proxy_socket: "),
      control_socket_(control_socket),
      endpoint_text_(to_string(endpoint))
{
}

socks5_udp_proxy_socket::~socks5_udp_proxy_socket() { socks5_udp_proxy_socket::close_sockets(); }

void socks5_udp_proxy_socket::close_sockets()
{
    udp_relay_socket::close_sockets();
    if (control_socket_ != platform::invalid_socket) {
        platform::shutdown_and_close(control_socket_);
        control_socket_ = platform::invalid_socket;
    }
}

void socks5_udp_proxy_socket::log_line(const char* text, std::uint32_t bytes) const
{
    log(std::string("process_receive_buffer_complete: ") + endpoint_text_ + text + std::to_string(bytes));
}

std::uint32_t socks5_udp_proxy_socket::post_relay_receive()
{
    return platform::post_receive(relay_socket_, receive_window_, &receive_context_.overlapped);
}

void socks5_udp_proxy_socket::process_receive_buffer_complete(std::uint32_t bytes, udp_io_context* ctx)
{
    touch();
    if (ctx->is_local) {
        if (logs_all())
            log_line(" :received data from local socket: ", bytes);
        std::unique_ptr<pooled_buffer> datagram(ctx->buffer);
        ctx->buffer = nullptr;
        udp_io_context* send_ctx = allocate_send_context(false, std::move(datagram));
        if (!send_ctx)
            return;
        if (logs_all())
            log_line(" :sending data to remote socket: ", bytes);
        send(relay_socket_, send_ctx, nullptr, 0);
        return;
    }
    if (logs_all())
        log_line(" :received data from remote socket: ", bytes);
    if (udp_io_context* send_ctx = allocate_send_context(true, bytes)) {
        std::memcpy(send_ctx->buffer->buffer.buffer, receive_buffer_.data(), bytes);
        if (logs_all())
            log_line(" :sending data to local socket: ", bytes);
        send(server_socket_, send_ctx, &client_, client_length_);
    }
    receive_next();
}

void socks5_udp_proxy_socket::process_send_buffer_complete(std::uint32_t bytes, udp_io_context* ctx)
{
    if (logs_all())
        log(std::string("process_send_buffer_complete: ") + endpoint_text_ +
            (ctx->is_local ? ":send data to locally connected socket complete:"
                           : ":send data to remotely connected socket complete:") +
            std::to_string(bytes));
    udp_relay_socket::process_send_buffer_complete(bytes, ctx);
}

}  // namespace proxy
