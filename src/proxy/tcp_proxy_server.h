#pragma once
// The local TCP proxy server: accepts the connections the gateway redirects to it, asks the
// gateway where each was really going, opens the outgoing connection and hands the pair to a
// relay socket object. One server per kind of outgoing connection (direct, SOCKS5, HTTP);
// `tcp_proxy_server<Socket, Context>` picks the kind, everything else lives in
// `tcp_proxy_server_core`.
//
// Owns its listening socket, three threads (accept, connect, cleanup), the pending outgoing
// connects and the established relay objects. Does not own the completion port. Constructed,
// started once, stopped and destroyed by the gateway.
//
// Threads: the accept thread queues outgoing connects; the connect thread waits for them to
// finish and adopts them into relay objects; the cleanup thread removes finished relays once
// a second; completions arrive on the port's workers through the handler registered at
// start. `lock_` guards `pending_` and `established_`; the handler never takes it.
//
// More than 63 outgoing connects in progress at once: the connect thread can wait on at most
// 64 events (its wake-up event included), so the records beyond that wait their turn in the
// pending list; while there are more than it can wait on, it waits in slices of 200 ms and
// moves on to the next group, so no connection is lost and none waits behind a slow group
// for longer than a few slices.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "net/ip_address.h"
#include "platform/socket.h"
#include "platform/socket_event.h"
#include "proxy/io_completion_port.h"
#include "proxy/negotiate_context.h"
#include "proxy/tcp_proxy_socket.h"
#include "service/logging.h"

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
        platform::socket_handle local, platform::socket_handle remote,
        std::unique_ptr<negotiate_context> context, log_printer printer, log_level level)>;

    // Listens on `bind_address`:`port` (0.0.0.0 in the product; tests use loopback).
    // Throws std::runtime_error "tcp_proxy_server: failed to create server socket.".
    tcp_proxy_server_core(std::uint16_t port, io_completion_port& completion_port,
                          query_remote_peer query, log_printer printer, log_level level,
                          socket_factory factory, net::ip_address_v4 bind_address = {});
    ~tcp_proxy_server_core();
    tcp_proxy_server_core(const tcp_proxy_server_core&) = delete;
    tcp_proxy_server_core& operator=(const tcp_proxy_server_core&) = delete;

    bool start();
    void stop();

    // The listening port in host order (the system's choice when 0 was requested).
    std::uint16_t listen_port() const { return listen_port_; }
    // Called on the accept thread; false when the accepted socket must be closed.
    bool connect_to_remote_host(platform::socket_handle accepted);

    // Observers for tests and the gateway's diagnostics.
    std::size_t established_count();
    std::size_t pending_count();

private:
    struct pending_connection {
        std::unique_ptr<negotiate_context> context;
        platform::socket_handle remote = platform::invalid_socket;
        platform::socket_handle local = platform::invalid_socket;
        std::unique_ptr<platform::socket_event> event;
    };

    // Lets completion handlers run while the server lives and makes stop wait for the ones
    // already inside. Shared with the handler the port keeps, which outlives the server.
    struct completion_gate {
        std::atomic<bool> open{true};
        std::atomic<int> inside{0};
        tcp_proxy_server_core* server = nullptr;
    };

    static bool on_completion(const std::shared_ptr<completion_gate>& gate, std::uint32_t bytes,
                              platform::overlapped* ov, int success);
    void accept_thread();
    void connect_thread();
    void cleanup_thread();
    void adopt(platform::socket_event* event);
    std::unique_ptr<platform::socket_event> take_spare_event();
    void keep_spare_event(std::unique_ptr<platform::socket_event> event);
    void drain_established();
    void log(const std::string& text) const;

    std::uint16_t listen_port_ = 0;
    io_completion_port& completion_port_;
    query_remote_peer query_remote_peer_;
    log_printer log_printer_;
    log_level log_level_;
    socket_factory factory_;

    std::shared_mutex lock_;  // guards pending_ and established_
    std::thread accept_thread_;
    std::thread cleanup_thread_;
    std::thread connect_thread_;
    std::vector<std::unique_ptr<tcp_proxy_socket>> established_;
    std::vector<pending_connection> pending_;  // [0] is the wake-up record
    std::atomic<bool> stopped_{true};
    platform::socket_handle listening_socket_ = platform::invalid_socket;
    std::uintptr_t completion_key_ = 0;
    std::shared_ptr<completion_gate> gate_;

    std::mutex spare_events_mutex_;  // guards spare_events_
    std::vector<std::unique_ptr<platform::socket_event>> spare_events_;

    std::mutex cleanup_mutex_;  // lets stop() cut the cleanup thread's one-second sleep short
    std::condition_variable cleanup_wake_;
};

template <class Socket, class Context = negotiate_context>
class tcp_proxy_server : public tcp_proxy_server_core {
public:
    tcp_proxy_server(std::uint16_t port, io_completion_port& completion_port,
                     basic_query_remote_peer<Context> query, log_printer printer, log_level level,
                     net::ip_address_v4 bind_address = {})
        : tcp_proxy_server_core(port, completion_port, widen(std::move(query)), std::move(printer),
                                level, &make_socket, bind_address)
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
    static std::unique_ptr<tcp_proxy_socket> make_socket(platform::socket_handle local,
                                                         platform::socket_handle remote,
                                                         std::unique_ptr<negotiate_context> context,
                                                         log_printer printer, log_level level)
    {
        return std::make_unique<Socket>(local, remote, std::move(context), std::move(printer), level);
    }
};

}  // namespace proxy
