#pragma once
// The local UDP proxy servers: one UDP socket receives the datagrams of every client (each
// prefixed with the 10-byte header that names its real destination) and hands them to one
// relay socket object per client endpoint. `udp_proxy_server` relays directly,
// `socks5_udp_proxy_server` (socks5_udp_proxy_server.h) through a SOCKS5 UDP ASSOCIATE
// session per client; `udp_proxy_server_core` is what they share.
//
// Owns its UDP socket, the buffer pool, the 64 KiB receive buffer and record, the relay
// objects, the cleanup thread and its completion registration; not the completion port.
// Constructed, started once, stopped and destroyed by the gateway.
//
// Threads: completions arrive on the port's workers and are serialised by `mutex_`, which the
// handler holds for the whole dispatch; the cleanup thread takes the same mutex once a second
// to retire relay objects that failed or stayed idle for more than 300 s, and to re-post the
// server's receive if an earlier post failed (the server never stays deaf). A retired
// object's sockets are closed at once and it is destroyed when its last operation has
// completed, since those operations' records name it.
//
// Lifetime rule: an operation's record (the server's receive record, a relay object's
// receive record, a send record) may be written by the system until its completion has been
// dequeued, so nothing that holds one is freed before then. stop() therefore
//   1. stops the helper threads (the cleanup thread, the SOCKS5 associate threads),
//   2. closes every socket under the mutex, so that each outstanding operation completes
//      with failure and comes back through the handler, which returns its record and
//      signals `drained_`,
//   3. waits on `drained_` (bounded) until every record is back, as long as the port runs,
//   4. releases the registration: from then on no handler of this server runs, and one
//      that was running on another thread has returned,
//   5. frees the relay objects. One whose record never came back (the port was not
//      running, or the bound passed) is deliberately leaked rather than freed under the
//      system's feet.
// So the gateway stops the servers before it stops the port's pool.
//
// One client address may have at most `endpoints_per_client` relay objects (each holds a
// socket): the server's port takes datagrams from anyone who reaches it, and every new
// source port would otherwise cost a descriptor until the idle limit. A datagram of a new
// endpoint beyond that is dropped, and logged at info at most once a second.
//
// Choices of this implementation: a datagram shorter than the 10-byte header is dropped
// (logged at level all); a failed relay receive or send marks the relay object failed, and a
// failed completion still returns its record and buffer.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/ip_address.h"
#include "platform/socket.h"
#include "platform/unique_socket.h"
#include "proxy/buffer_pool.h"
#include "proxy/io_completion_port.h"
#include "proxy/refusal_log_limit.h"
#include "proxy/tcp_proxy_server.h"
#include "proxy/udp_io_context.h"
#include "proxy/udp_relay_socket.h"
#include "log/log.h"

namespace proxy {

class udp_proxy_server_core {
public:
    static constexpr std::chrono::seconds idle_limit{300};
    static constexpr std::size_t default_endpoints_per_client = 4096;
    // How long stop() lets the completions of the closed sockets come back.
    static constexpr std::chrono::seconds drain_limit{5};

    // Binds `bind_address`:`port` (0.0.0.0 in the product; tests use loopback). Throws
    // std::runtime_error "<name>: failed to create server socket.".
    udp_proxy_server_core(const char* name, std::uint16_t port, io_completion_port& completion_port,
                          query_remote_peer query, log_printer printer, log_level level,
                          net::ip_address_v4 bind_address, udp_clock clock,
                          std::size_t endpoints_per_client = default_endpoints_per_client);
    virtual ~udp_proxy_server_core();
    udp_proxy_server_core(const udp_proxy_server_core&) = delete;
    udp_proxy_server_core& operator=(const udp_proxy_server_core&) = delete;

    bool start();
    void stop();

    std::uint16_t listen_port() const { return listen_port_; }

    // One pass of the cleanup thread; tests call it with an injected clock.
    void cleanup_pass();

    // Observers for tests and diagnostics.
    std::size_t relay_count();
    std::size_t retiring_count();
    std::uint64_t relays_created();
    // Relay objects stop() had to leave to the system (their operations never came back).
    std::size_t leaked_count();
    buffer_pool& pool() { return buffer_pool_; }

protected:
    using socket_map = std::map<client_endpoint, std::unique_ptr<udp_relay_socket>>;

    // Finds or creates the relay object of the client endpoint; null drops the datagram.
    // Called under mutex_ on a completion worker; must not block.
    virtual udp_relay_socket* connect_to_remote_host(const client_endpoint& client,
                                                     const platform::socket_address& address,
                                                     int address_length) = 0;
    // Posts the server's receive; returns the post's result. Virtual so that tests can make
    // it fail.
    virtual std::uint32_t post_server_receive();
    // Threads of a derived server: started once the server runs; stopped (and joined) by
    // stop() before any socket closes, without mutex_ held.
    virtual void start_helpers() {}
    virtual void stop_helpers() {}

    // The following are called with mutex_ held.
    // Inserts a relay object made by connect_to_remote_host, binds its relay socket to the
    // server's handler and starts it; null when it cannot be bound.
    udp_relay_socket* adopt(const client_endpoint& client, std::unique_ptr<udp_relay_socket> relay);
    // Inserts an object whose relay socket comes later; null if the endpoint has one, or
    // its client address has as many as it may (logged).
    udp_relay_socket* insert_pending(const client_endpoint& client, std::unique_ptr<udp_relay_socket> relay);
    // Whether the client's address may have one more relay object; a refusal is logged.
    bool admits_locked(const client_endpoint& client);
    // Binds the relay socket of an inserted object and starts it; false (the object is
    // retired) when the port refuses the socket.
    bool activate(const client_endpoint& client, udp_relay_socket& relay);
    // Retires the endpoint's object if it is `relay`.
    void remove(const client_endpoint& client, const udp_relay_socket* relay);
    udp_relay_socket* find(const client_endpoint& client);
    bool stopping_locked() const { return stopping_; }

    bool logs(log_level at_least) const { return level_ >= at_least && static_cast<bool>(printer_); }
    void log(const std::string& text) const { log_with_prefix(printer_, prefix_.c_str(), text); }

    io_completion_port& completion_port_;
    query_remote_peer query_remote_peer_;
    log_printer printer_;
    log_level level_;
    udp_clock clock_;
    platform::unique_socket server_socket_;
    buffer_pool buffer_pool_;
    std::mutex mutex_;  // guards the state below and in derived servers, and every relay object

private:
    void handle(std::uint32_t bytes, udp_io_context* ctx, bool success);
    void handle_relay_completion(std::uint32_t bytes, udp_io_context* ctx, bool success);
    void handle_client_datagram(std::uint32_t bytes);
    // Posts the server's receive unless one is outstanding; logs a failure (at info) once
    // per run of failures. The caller holds mutex_.
    void receive_locked();
    void retire_locked(socket_map::iterator it);
    void destroy_finished_locked();
    bool drained_locked() const;
    void cleanup_thread();

    std::string prefix_;
    std::string name_;
    completion_registration registration_;
    std::condition_variable drained_;  // signalled by the handler while stopping
    std::thread cleanup_thread_;
    socket_map sockets_;
    const std::size_t endpoints_per_client_;
    std::map<std::uint32_t, std::size_t> endpoints_by_address_;  // counts sockets_
    refusal_log_limit refusal_log_;
    std::vector<std::unique_ptr<udp_relay_socket>> retiring_;
    std::atomic<bool> stopped_{true};
    bool stopping_ = false;
    std::array<char, 65536> receive_buffer_{};
    platform::io_buffer receive_window_{65536, nullptr};
    udp_io_context receive_context_{io_kind::read, nullptr, true};
    bool receive_posted_ = false;
    bool receive_failure_logged_ = false;
    platform::socket_address sender_{};
    int sender_length_ = platform::socket_address_capacity;
    std::uint16_t listen_port_ = 0;
    std::uint64_t relays_created_ = 0;
    std::size_t leaked_ = 0;

    std::mutex cleanup_mutex_;  // lets stop() cut the cleanup thread's sleep short
    std::condition_variable cleanup_wake_;
};

// Relays directly: one unconnected relay socket per client endpoint.
//
// The server listens on every address and the destination comes from the datagram itself, so
// without a check anyone who can reach its port could have it send datagrams anywhere. The
// gateway therefore gives it a client check (is this endpoint one the redirect is carrying?);
// a new endpoint the check refuses gets no relay socket, and its datagrams are dropped.
class udp_proxy_server : public udp_proxy_server_core {
public:
    using client_check = std::function<bool(net::ip_address_v4 address, std::uint16_t port)>;

    udp_proxy_server(std::uint16_t port, io_completion_port& completion_port, query_remote_peer query,
                     log_printer printer, log_level level, net::ip_address_v4 bind_address = {},
                     udp_clock clock = &std::chrono::steady_clock::now,
                     std::size_t endpoints_per_client = default_endpoints_per_client);
    ~udp_proxy_server() override;

    // Set before start(); empty (the default) admits every endpoint.
    void set_client_check(client_check check) { client_check_ = std::move(check); }

protected:
    udp_relay_socket* connect_to_remote_host(const client_endpoint& client, const platform::socket_address& address,
                                             int address_length) override;

private:
    client_check client_check_;
    refusal_log_limit stranger_log_;
};

}  // namespace proxy
