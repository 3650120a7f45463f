#include "proxy/udp_proxy_socket.h"

#include <cstring>
#include <optional>

#include "proxy/udp_request_header.h"

namespace proxy {

udp_proxy_socket::udp_proxy_socket(buffer_pool& pool, platform::socket_handle server_socket,
                                   platform::unique_socket relay_socket, const platform::socket_address& client,
                                   int client_length, log_printer printer, log_level level, const udp_clock& clock)
    : udp_relay_socket(pool, server_socket, std::move(relay_socket), client, client_length, std::move(printer), level, clock,
                       "udp_proxy_socket: ")
{
}

void udp_proxy_socket::process_receive_buffer_complete(std::uint32_t bytes, udp_io_context* ctx)
{
    touch();
    if (ctx->is_local) {
        if (logs_all())
            log("process_receive_buffer_complete: received data from local socket: " + std::to_string(bytes));
        std::unique_ptr<pooled_buffer> datagram(ctx->buffer);
        ctx->buffer = nullptr;
        // The server drops datagrams shorter than the header before they get here; a
        // fragment or a destination that is not IPv4 is dropped here.
        const std::optional<udp_request_destination> destination =
            datagram ? read_udp_request_header(reinterpret_cast<const std::uint8_t*>(datagram->buffer.buffer),
                                               datagram->buffer.length)
                     : std::nullopt;
        if (!destination) {
            if (datagram && logs_all())
                log("process_receive_buffer_complete: dropped a datagram whose header names no IPv4 destination");
            pool_.release(std::move(datagram));
            return;
        }
        // The payload is sent from where it lies: the buffer window starts after the header.
        datagram->buffer.buffer += header_size;
        datagram->buffer.length -= header_size;
        udp_io_context* send_ctx = allocate_send_context(false, std::move(datagram));
        if (!send_ctx)
            return;
        if (logs_all())
            log("process_receive_buffer_complete: sending data to remote socket: " + std::to_string(bytes));
        platform::socket_address to;
        const int to_length =
            platform::make_ipv4_address(to, destination->address.to_in_addr(), destination->port);
        send(relay_socket_.get(), send_ctx, &to, to_length);
        return;
    }

    if (logs_all())
        log("process_receive_buffer_complete: received data from remote socket: " + std::to_string(bytes));
    in_addr sender{};
    std::uint16_t sender_port = 0;
    if (platform::read_ipv4_address(relay_sender_, relay_sender_length_, sender, sender_port)) {
        udp_io_context* send_ctx = allocate_send_context(true, bytes + header_size);
        if (send_ctx) {
            auto* out = reinterpret_cast<std::uint8_t*>(send_ctx->buffer->buffer.buffer);
            out[0] = 0;
            out[1] = 0;
            out[2] = 0;
            out[3] = 1;
            std::memcpy(out + 4, &sender, 4);
            out[8] = static_cast<std::uint8_t>(sender_port >> 8);
            out[9] = static_cast<std::uint8_t>(sender_port & 0xFF);
            std::memcpy(out + header_size, receive_buffer_.data(), bytes);
            if (logs_all())
                log("process_receive_buffer_complete: sending data to local socket: " + std::to_string(bytes));
            send(server_socket_, send_ctx, &client_, client_length_);
        }
    }
    receive_next();
}

void udp_proxy_socket::process_send_buffer_complete(std::uint32_t bytes, udp_io_context* ctx)
{
    if (logs_all())
        log(std::string(ctx->is_local ? "process_send_buffer_complete: send data to locally connected socket complete: "
                                      : "process_send_buffer_complete: send data to remotely connected socket complete: ") +
            std::to_string(bytes));
    udp_relay_socket::process_send_buffer_complete(bytes, ctx);
}

}  // namespace proxy
