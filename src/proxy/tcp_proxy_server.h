#pragma once
// The local TCP proxy server: accepts the connections the gateway redirects to it, asks the
// gateway where each was really going, opens the outgoing connection and hands the pair to a
// relay socket object. One server per kind of outgoing connection (direct, SOCKS5, HTTP);
// `tcp_proxy_server<Socket, Context>` picks the kind, everything else lives in
// `tcp_proxy_server_core`.
//
// Owns its listening socket, the accepts posted on it, a cleanup thread, the completion
// registration and the relay objects, connecting or established. Does not own the completion
// port. Constructed, started once, stopped and destroyed by the gateway.
//
// Everything of a new connection happens on the completion port's workers: a posted accept
// completes, the worker asks where the connection was going, opens the outgoing socket and
// posts its connect (and re-posts the accept); the connect completes, and a worker starts
// the relay. No thread waits on another's behalf, so a connection crosses no hand-off a
// single event loop would not have, and one client's connects to an unreachable address
// delay nobody else's. The cleanup thread removes finished relays once a second and re-posts
// an accept that could not be posted (descriptors short for a moment). `lock_` guards
// `established_`; `accept_mutex_` the accept slots. The completion handler never holds a
// relay's mutex while it takes either.
//
// One client address may hold at most `tcp_proxy_limits` pending connects and relayed
// connections (client_connection_limits.h); a connection beyond them is reset at once and
// the refusal logged at info, at most one line a second with the count of those left out.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <tuple>
#include <array>
#include <vector>

#include "net/ip_address.h"
#include "platform/socket.h"
#include "proxy/client_connection_limits.h"
#include "platform/unique_socket.h"
#include "proxy/io_completion_port.h"
#include "proxy/negotiate_context.h"
#include "proxy/refusal_log_limit.h"
#include "proxy/tcp_proxy_socket.h"
#include "log/log.h"

namespace proxy {

// (client address, client port host order) -> (destination, destination port host order,
// negotiate context or null). Port 0: unknown destination, the connection is refused.
template <class Context>
using basic_query_remote_peer = std::function<std::tuple<net::ip_address_v4, std::uint16_t,
                                                         std::unique_ptr<Context>>(net::ip_address_v4, std::uint16_t)>;
using query_remote_peer = basic_query_remote_peer<negotiate_context>;

class tcp_proxy_server_core {
public:
    using socket_factory = std::function<std::unique_ptr<tcp_proxy_socket>(
        platform::unique_socket local, platform::unique_socket remote,
        std::unique_ptr<negotiate_context> context, log_printer printer, log_level level)>;

    // Listens on `bind_address`:`port` (0.0.0.0 in the product; tests use loopback).
    // Throws std::runtime_error "tcp_proxy_server: failed to create server socket.".
    tcp_proxy_server_core(std::uint16_t port, io_completion_port& completion_port,
                          query_remote_peer query, log_printer printer, log_level level,
                          socket_factory factory, net::ip_address_v4 bind_address = {},
                          tcp_proxy_limits limits = {});
    ~tcp_proxy_server_core();
    tcp_proxy_server_core(const tcp_proxy_server_core&) = delete;
    tcp_proxy_server_core& operator=(const tcp_proxy_server_core&) = delete;

    bool start();
    void stop();

    // The listening port in host order (the system's choice when 0 was requested).
    std::uint16_t listen_port() const { return listen_port_; }
    // Called on a completion worker once an accept completed. False when the connection
    // was refused (unknown destination, the client at one of its limits, or the outgoing
    // socket or its connect failed at once); it is closed then.
    bool connect_to_remote_host(platform::unique_socket accepted);

    // Observers for tests and the gateway's diagnostics: relay objects alive, and those of
    // them whose outgoing connect has not completed yet.
    std::size_t established_count();
    std::size_t pending_count();
    // What one client address holds now.
    client_connection_limits::counts client_counts(net::ip_address_v4 client) { return client_limits_.of(client); }

private:
    // One accept kept posted on the listening socket. Several, so that a burst of new
    // connections is taken by several workers at once.
    struct accept_slot {
        per_io_context context{io_kind::accept, nullptr, true};  // owner: this slot
        platform::accept_buffer buffer{};
        bool pending = false;  // an accept is outstanding in this slot
    };
    static constexpr std::size_t accept_slots = 8;

    void on_completion(std::uint32_t bytes, platform::overlapped* ov, int success);
    void accept_complete(per_io_context& context, bool success);
    // Posts the slot's next accept unless the server stops; a slot that cannot be posted
    // stays idle until the cleanup thread's next pass. Called with accept_mutex_ held.
    void post_accept_locked(accept_slot& slot);
    void cleanup_thread();
    // Resets a connection refused for a client limit and logs it, rate-limited.
    void refuse(platform::unique_socket accepted, net::ip_address_v4 client, client_connection_limits::refusal why);
    // Closes every relay and lets the operations they and the accepts had outstanding
    // complete; then no completion can reach them any more.
    void settle();
    bool settled();
    void log(const std::string& text) const;

    std::uint16_t listen_port_ = 0;
    io_completion_port& completion_port_;
    query_remote_peer query_remote_peer_;
    log_printer log_printer_;
    log_level log_level_;
    socket_factory factory_;
    client_connection_limits client_limits_;

    refusal_log_limit refusal_log_;

    std::shared_mutex lock_;  // guards established_
    std::thread cleanup_thread_;
    std::vector<std::unique_ptr<tcp_proxy_socket>> established_;
    std::atomic<bool> stopped_{true};
    platform::unique_socket listening_socket_;
    // The handle of the listening socket, read by workers while stop() closes the object.
    platform::socket_handle listener_ = platform::invalid_socket;
    // Registered with the listening socket; the relays' sockets are bound to it too.
    completion_registration registration_;

    std::mutex accept_mutex_;  // guards accepts_ and serving_
    std::array<accept_slot, accept_slots> accepts_;
    int serving_ = 0;  // accepted connections whose outgoing connect is being set up

    std::mutex cleanup_mutex_;  // lets stop() cut the cleanup thread's one-second sleep short
    std::condition_variable cleanup_wake_;
    // Signalled by the handler while stop() waits for the last completions.
    std::mutex settle_mutex_;
    std::condition_variable settled_;
    std::atomic<bool> settling_{false};
};

template <class Socket, class Context = negotiate_context>
class tcp_proxy_server : public tcp_proxy_server_core {
public:
    tcp_proxy_server(std::uint16_t port, io_completion_port& completion_port,
                     basic_query_remote_peer<Context> query, log_printer printer, log_level level,
                     net::ip_address_v4 bind_address = {}, tcp_proxy_limits limits = {})
        : tcp_proxy_server_core(port, completion_port, widen(std::move(query)), std::move(printer),
                                level, &make_socket, bind_address, limits)
    {
    }

private:
    static query_remote_peer widen(basic_query_remote_peer<Context> query)
    {
        if (!query)
            return {};
        return [q = std::move(query)](net::ip_address_v4 address, std::uint16_t port) {
            auto [destination, destination_port, context] = q(address, port);
            return std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<negotiate_context>>(
                destination, destination_port, std::move(context));
        };
    }
    static std::unique_ptr<tcp_proxy_socket> make_socket(platform::unique_socket local,
                                                         platform::unique_socket remote,
                                                         std::unique_ptr<negotiate_context> context,
                                                         log_printer printer, log_level level)
    {
        return std::make_unique<Socket>(std::move(local), std::move(remote), std::move(context),
                                        std::move(printer), level);
    }
};

}  // namespace proxy
