#pragma once
// One relayed TCP connection: the accepted (local, VPN client) socket and the socket this
// program opened towards the destination or an upstream proxy (remote), with a 64 KiB ring
// per direction and at most one receive and one send outstanding per socket.
//
// Owns both sockets, both rings and the five operation records. Created by the TCP proxy
// server on the worker that completed the accept, which posts the outgoing connect
// (start_connect); the connect's completion starts it on a completion port worker, where all its completions arrive through
// the server's handler; destroyed by the server's cleanup pass once is_idle() says no
// operation is outstanding, or by the server's stop.
//
// A window (io_buffer) of length 0 means no operation of that kind is outstanding; every
// outstanding operation has a non-zero window until its completion clears or renews it, and
// an outstanding connect has `connect_pending_`. That invariant is what makes destruction
// safe. `mutex_` serialises all completions, close_client and the cleanup pass's calls.
//
// Extension point for the proxied kinds: override negotiate_with_proxy (slot 7) to start an
// exchange with the proxy (returning false), process its reads in
// process_receive_negotiate_complete (slot 2) and call start_relay_locked() once it succeeded,
// or close_remote_locked() when it failed.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/socket.h"
#include "platform/unique_socket.h"
#include "proxy/client_connection_limits.h"
#include "proxy/negotiate_context.h"
#include "proxy/per_io_context.h"
#include "log/log.h"

namespace proxy {

enum class connection_status : std::uint32_t { connecting = 1, connected = 2, disconnected = 3 };

class tcp_proxy_socket {
public:
    static constexpr std::uint32_t ring_size = 65536;

    tcp_proxy_socket(platform::unique_socket local, platform::unique_socket remote,
                     std::unique_ptr<negotiate_context> context, log_printer printer,
                     log_level level);
    virtual ~tcp_proxy_socket();
    tcp_proxy_socket(const tcp_proxy_socket&) = delete;
    tcp_proxy_socket& operator=(const tcp_proxy_socket&) = delete;

    // Slot 1: negotiation with the client, then with the proxy, then the relay. False when
    // the relay did not start here (failure, or a negotiation that goes on asynchronously).
    virtual bool start();
    virtual void process_receive_negotiate_complete(std::uint32_t bytes, per_io_context* ctx);
    virtual void process_send_negotiate_complete(std::uint32_t bytes, per_io_context* ctx);
    virtual void process_receive_buffer_complete(std::uint32_t bytes, per_io_context* ctx);
    virtual void process_send_buffer_complete(std::uint32_t bytes, per_io_context* ctx);
    virtual bool negotiate_with_client();
    virtual bool negotiate_with_proxy();

    bool start_relay();
    // Posts the connect of the remote socket (bound and associated) to the destination or
    // the upstream proxy. False when it failed at once (nothing completes then).
    bool start_connect(const in_addr& address, std::uint16_t port);
    // The connect's completion: a connected pair is marked connected and started; a failed
    // connect closes both sockets.
    void process_connect_complete(bool success);
    // A receive or send on one side failed or ended.
    void close_client(bool receive, bool is_local);
    // The cleanup pass's step: once the remote side is closed and everything queued for the
    // client has been sent, closes the local socket (its receive then completes with failure
    // and clears the last window).
    void close_local_if_drained();
    // Both sockets closed and no operation outstanding: nothing can touch the object any more.
    bool is_idle();
    // Its outgoing connect was posted and has not completed yet.
    bool is_connecting();
    // Closes both sockets; outstanding operations then complete with failure and clear their
    // windows through close_client. Used by the server's stop.
    void abort();

    void set_connection_status(connection_status status);

    // The relay's windows and ring pointers at one moment; for tests and diagnostics.
    struct relay_snapshot {
        connection_status status;
        bool local_open;
        bool remote_open;
        std::uint32_t local_receive;  // window lengths
        std::uint32_t local_send;
        std::uint32_t remote_receive;
        std::uint32_t remote_send;
        std::uint32_t remote_send_offset;  // where the upstream send window starts in its ring
        std::uint32_t upstream_receive_at;
        std::uint32_t upstream_send_at;
    };
    relay_snapshot snapshot();
    // What this relay counts as against its client's limits; the server's
    // client_connection_limits reads and changes it under its own mutex.
    client_slot& admission() { return admission_; }
    // Only while the caller knows the socket stays open (tests, the server before start).
    platform::socket_handle local_socket() const { return local_socket_.get(); }
    platform::socket_handle remote_socket() const { return remote_socket_.get(); }

protected:
    struct ring {
        // Left uninitialised: only received bytes are ever sent, and zeroing 128 KiB per
        // connection made every new connection fault in and clear pages it may never use.
        std::array<char, ring_size> data;
        std::uint32_t receive_at = 0;  // where the next receive lands
        std::uint32_t send_at = 0;     // first byte not yet sent
    };

    // The caller holds mutex_.
    bool start_relay_locked();
    void close_local_locked();
    // Also clears the remote receive window: the negotiation's reads use it.
    void close_remote_locked();
    bool logs_all() const { return log_level_ == log_level::all && static_cast<bool>(log_printer_); }
    void log(const char* text, std::uint32_t number) const;

    platform::unique_socket local_socket_;   // guarded by mutex_ once the connect is posted
    platform::unique_socket remote_socket_;  // likewise
    std::unique_ptr<negotiate_context> negotiate_context_;
    log_printer log_printer_;
    log_level log_level_;

    std::mutex mutex_;  // guards everything below
    connection_status connection_status_ = connection_status::connecting;
    ring upstream_;    // local -> remote
    ring downstream_;  // remote -> local
    platform::io_buffer local_receive_window_{};
    platform::io_buffer local_send_window_{};
    platform::io_buffer remote_receive_window_{};
    platform::io_buffer remote_send_window_{};
    per_io_context local_receive_context_{io_kind::read, this, true};
    per_io_context remote_receive_context_{io_kind::read, this, false};
    per_io_context local_send_context_{io_kind::write, this, true};
    per_io_context remote_send_context_{io_kind::write, this, false};
    per_io_context connect_context_{io_kind::connect, this, false};
    bool connect_pending_ = false;

private:
    client_slot admission_;
    // One relay direction seen from the side that receives (A) and the side that sends (B).
    struct direction {
        ring& r;
        platform::unique_socket& a_socket;
        platform::unique_socket& b_socket;
        platform::io_buffer& a_receive;
        platform::io_buffer& b_send;
        per_io_context& a_receive_context;
        per_io_context& b_send_context;
        bool a_is_local;
    };
    direction from_side(bool a_is_local);
    void close_socket_locked(platform::unique_socket& s);
    void repost_receive_failed(direction& d);
};

// The completion handling shared by the TCP servers: a connect goes to the owner's
// process_connect_complete, a failed operation or an ended receive to its close_client,
// everything else to the relay or negotiation step of its kind; an owned_write's record and
// buffer are freed.
void dispatch_completion(std::uint32_t bytes, per_io_context* ctx, int success);

}  // namespace proxy
