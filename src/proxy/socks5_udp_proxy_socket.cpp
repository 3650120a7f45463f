#include "proxy/socks5_udp_proxy_socket.h"

#include <cstring>

#include "proxy/udp_request_header.h"

namespace proxy {

socks5_udp_proxy_socket::socks5_udp_proxy_socket(buffer_pool& pool, platform::socket_handle server_socket,
                                                 const platform::socket_address& client, int client_length,
                                                 const client_endpoint& endpoint, log_printer printer,
                                                 log_level level, const udp_clock& clock,
                                                 std::uint64_t association, std::size_t max_queued)
    : udp_relay_socket(pool, server_socket, platform::unique_socket{}, client, client_length, std::move(printer),
                       level, clock, "socks5_udp_proxy_socket: "),
      endpoint_text_(to_string(endpoint)),
      association_(association),
      max_queued_(max_queued)
{
    queued_.reserve(max_queued_);
}

socks5_udp_proxy_socket::~socks5_udp_proxy_socket() { drop_queued(); }

void socks5_udp_proxy_socket::attach(platform::unique_socket relay_socket, platform::unique_socket control_socket)
{
    relay_socket_ = std::move(relay_socket);
    control_socket_ = std::move(control_socket);
    associating_ = false;
}

void socks5_udp_proxy_socket::flush_queued()
{
    std::vector<std::unique_ptr<pooled_buffer>> waiting;
    waiting.swap(queued_);
    for (auto& datagram : waiting) {
        const std::uint32_t bytes = datagram->buffer.length;
        send_to_relay(std::move(datagram), bytes);
    }
}

void socks5_udp_proxy_socket::drop_queued()
{
    for (auto& datagram : queued_)
        pool_.release(std::move(datagram));
    queued_.clear();
}

void socks5_udp_proxy_socket::close_sockets()
{
    udp_relay_socket::close_sockets();
    control_socket_.close();
    drop_queued();
}

void socks5_udp_proxy_socket::log_line(const char* text, std::uint32_t bytes) const
{
    log(std::string("process_receive_buffer_complete: ") + endpoint_text_ + text + std::to_string(bytes));
}

std::uint32_t socks5_udp_proxy_socket::post_relay_receive()
{
    return platform::post_receive(relay_socket_.get(), receive_window_, &receive_context_.overlapped);
}

void socks5_udp_proxy_socket::send_to_relay(std::unique_ptr<pooled_buffer> datagram, std::uint32_t bytes)
{
    udp_io_context* send_ctx = allocate_send_context(false, std::move(datagram));
    if (!send_ctx)
        return;
    if (logs_all())
        log_line(" :sending data to remote socket: ", bytes);
    send(relay_socket_.get(), send_ctx, nullptr, 0);
}

void socks5_udp_proxy_socket::process_receive_buffer_complete(std::uint32_t bytes, udp_io_context* ctx)
{
    touch();
    if (ctx->is_local) {
        if (logs_all())
            log_line(" :received data from local socket: ", bytes);
        std::unique_ptr<pooled_buffer> datagram(ctx->buffer);
        ctx->buffer = nullptr;
        if (!datagram)
            return;
        if (associating_) {
            // Bounded: a client cannot pile up buffers while the proxy takes its time.
            if (queued_.size() < max_queued_ && !is_closed())
                queued_.push_back(std::move(datagram));
            else
                pool_.release(std::move(datagram));
            return;
        }
        send_to_relay(std::move(datagram), bytes);
        return;
    }
    if (logs_all())
        log_line(" :received data from remote socket: ", bytes);
    // The upstream relay's header goes to the client as it is, and the redirect takes its
    // address for the reply's source: a fragment or a domain or IPv6 address would be read
    // as a wrong IPv4 source, so such a datagram goes no further.
    if (!read_udp_request_header(reinterpret_cast<const std::uint8_t*>(receive_buffer_.data()), bytes)) {
        if (logs_all())
            log_line(" :dropped a datagram from the proxy whose header names no IPv4 source: ", bytes);
        receive_next();
        return;
    }
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
