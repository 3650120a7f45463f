#pragma once
// The common part of the UDP relay socket objects: one per client endpoint of a UDP proxy
// server, owning the socket that talks to the destinations (direct) or to the SOCKS5 relay.
//
// Created, driven and destroyed by its server, always under the server's mutex (all
// completions of a server are serialised by it, and the SOCKS5 server's associate threads
// take it too), so nothing here locks except `failed`, which is atomic. `outstanding` counts
// the operations in flight that point at this object (its relay receive and the sends it
// issued on either socket); the server destroys the object only once its sockets are closed
// and that count is 0, because each of those operation records names the object as owner
// and the system writes into it when the operation ends.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/socket.h"
#include "platform/unique_socket.h"
#include "proxy/buffer_pool.h"
#include "proxy/udp_io_context.h"
#include "proxy/udp_request_header.h"
#include "log/log.h"

namespace proxy {

using udp_clock = std::function<std::chrono::steady_clock::time_point()>;

class udp_relay_socket {
public:
    static constexpr std::uint32_t receive_size = 65536;
    static constexpr std::uint32_t header_size = udp_request_header_size;

    // `relay_socket` may be empty for an object whose relay is opened later (a SOCKS5
    // association still being asked for).
    udp_relay_socket(buffer_pool& pool, platform::socket_handle server_socket,
                     platform::unique_socket relay_socket, const platform::socket_address& client,
                     int client_length, log_printer printer, log_level level, const udp_clock& clock,
                     const char* prefix);
    virtual ~udp_relay_socket();
    udp_relay_socket(const udp_relay_socket&) = delete;
    udp_relay_socket& operator=(const udp_relay_socket&) = delete;

    // Slot 1: the two negotiation hooks, then the first relay receive. An immediate failure
    // sets `failed`.
    virtual bool start();
    virtual void process_receive_negotiate_complete(std::uint32_t, udp_io_context*) {}
    virtual void process_send_negotiate_complete(std::uint32_t, udp_io_context*) {}
    virtual bool negotiate_with_client() { return true; }
    virtual bool negotiate_with_proxy() { return true; }
    // A datagram from the client (`ctx` is the server's receive record, its buffer attached
    // and taken over here) or from the relay socket (`ctx` is this object's relay receive).
    virtual void process_receive_buffer_complete(std::uint32_t bytes, udp_io_context* ctx) = 0;
    // A send finished: logs it and returns the record and its buffer.
    virtual void process_send_buffer_complete(std::uint32_t bytes, udp_io_context* ctx);

    // Closes the owned sockets for good; outstanding operations then complete with failure.
    virtual void close_sockets();
    bool is_closed() const { return closed_; }

    bool is_failed() const { return failed.load(); }
    void set_failed() { failed.store(true); }
    std::int64_t last_activity() const { return last_activity_ns_; }
    std::uint32_t outstanding() const { return outstanding_; }
    void operation_done() { if (outstanding_ != 0) --outstanding_; }
    platform::socket_handle relay_socket() const { return relay_socket_.get(); }

protected:
    virtual std::uint32_t post_relay_receive();
    void touch();
    // A write record with a buffer of `size` bytes; null when memory is short.
    udp_io_context* allocate_send_context(bool is_local, std::uint32_t size);
    udp_io_context* allocate_send_context(bool is_local, std::unique_ptr<pooled_buffer> buffer);
    void free_send_context(udp_io_context* ctx);
    // Posts `ctx` as a send_to (or a send on a connected socket when `to` is null); counts
    // it, or on an immediate failure frees it and sets `failed`.
    void send(platform::socket_handle s, udp_io_context* ctx, const platform::socket_address* to,
              int to_length);
    void receive_next();
    bool logs_all() const { return level_ == log_level::all && static_cast<bool>(printer_); }
    void log(const std::string& text) const { log_with_prefix(printer_, prefix_, text); }

    buffer_pool& pool_;
    platform::socket_handle server_socket_;  // not owned
    platform::unique_socket relay_socket_;
    platform::socket_address client_{};
    int client_length_;
    platform::socket_address relay_sender_{};
    int relay_sender_length_ = platform::socket_address_capacity;
    log_printer printer_;
    log_level level_;
    std::atomic<bool> failed{false};
    std::array<char, receive_size> receive_buffer_{};
    platform::io_buffer receive_window_{receive_size, nullptr};
    udp_io_context receive_context_{io_kind::read, this, false};

private:
    const udp_clock& clock_;
    const char* prefix_;
    std::int64_t last_activity_ns_ = 0;
    std::uint32_t outstanding_ = 0;
    bool closed_ = false;
};

// The client endpoint a server keys its relay objects by: address, then port.
struct client_endpoint {
    std::uint8_t address[4] = {};
    std::uint16_t port = 0;  // host order

    friend bool operator<(const client_endpoint& a, const client_endpoint& b)
    {
        for (int i = 0; i < 4; ++i)
            if (a.address[i] != b.address[i])
                return a.address[i] < b.address[i];
        return a.port < b.port;
    }
};

std::string to_string(const client_endpoint& e);

}  // namespace proxy
