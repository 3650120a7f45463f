#include "proxy/udp_relay_socket.h"

#include <cstring>
#include <new>

#include "net/ip_address.h"

namespace proxy {

std::string to_string(const client_endpoint& e)
{
    return net::to_string(net::ip_address_v4::from_bytes(e.address)) + ":" + std::to_string(e.port);
}

udp_relay_socket::udp_relay_socket(buffer_pool& pool, platform::socket_handle server_socket,
                                   platform::unique_socket relay_socket,
                                   const platform::socket_address& client, int client_length,
                                   log_printer printer, log_level level, const udp_clock& clock,
                                   const char* prefix)
    : pool_(pool),
      server_socket_(server_socket),
      relay_socket_(std::move(relay_socket)),
      client_(client),
      client_length_(client_length),
      printer_(std::move(printer)),
      level_(level),
      clock_(clock),
      prefix_(prefix)
{
    receive_window_.buffer = receive_buffer_.data();
    touch();
}

udp_relay_socket::~udp_relay_socket() = default;

void udp_relay_socket::close_sockets()
{
    closed_ = true;
    relay_socket_.close();
}

void udp_relay_socket::touch()
{
    last_activity_ns_ = std::chrono::duration_cast<std::chrono::nanoseconds>(clock_().time_since_epoch()).count();
}

bool udp_relay_socket::start()
{
    if (!negotiate_with_client() || !negotiate_with_proxy())
        return false;
    receive_next();
    return !is_failed();
}

std::uint32_t udp_relay_socket::post_relay_receive()
{
    relay_sender_length_ = platform::socket_address_capacity;
    return platform::post_receive_from(relay_socket_.get(), receive_window_, &relay_sender_, &relay_sender_length_,
                                       &receive_context_.overlapped);
}

void udp_relay_socket::receive_next()
{
    if (!relay_socket_)
        return;
    if (platform::completion_follows(post_relay_receive()))
        ++outstanding_;
    else
        set_failed();
}

udp_io_context* udp_relay_socket::allocate_send_context(bool is_local, std::unique_ptr<pooled_buffer> buffer)
{
    if (!buffer)
        return nullptr;
    auto* ctx = new (std::nothrow) udp_io_context(io_kind::write, this, is_local);
    if (!ctx) {
        pool_.release(std::move(buffer));
        return nullptr;
    }
    ctx->buffer = buffer.release();
    return ctx;
}

udp_io_context* udp_relay_socket::allocate_send_context(bool is_local, std::uint32_t size)
{
    return allocate_send_context(is_local, pool_.acquire(size));
}

void udp_relay_socket::free_send_context(udp_io_context* ctx)
{
    if (!ctx)
        return;
    pool_.release(std::unique_ptr<pooled_buffer>(ctx->buffer));
    delete ctx;
}

void udp_relay_socket::send(platform::socket_handle s, udp_io_context* ctx, const platform::socket_address* to,
                            int to_length)
{
    std::uint32_t e = platform::error_not_socket;
    if (s != platform::invalid_socket) {
        e = to ? platform::post_send_to(s, ctx->buffer->buffer, *to, to_length, &ctx->overlapped)
               : platform::post_send(s, ctx->buffer->buffer, &ctx->overlapped);
    }
    if (platform::completion_follows(e)) {
        ++outstanding_;
        return;
    }
    free_send_context(ctx);
    set_failed();
}

void udp_relay_socket::process_send_buffer_complete(std::uint32_t, udp_io_context* ctx)
{
    free_send_context(ctx);
}

}  // namespace proxy
