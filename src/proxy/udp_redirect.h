#pragma once
// The UDP half of the proxy gateway's redirection. The real destination of a client
// datagram travels inside it: client_to_server inserts a 10-byte header in the SOCKS5 UDP
// request form (00 00 00 01, destination address, destination port) in front of the
// payload and sends the datagram to A:p, the selected local UDP server; server_to_client
// takes that header off the server's replies and makes its address and port their source.
// The table knows which client endpoints are being redirected, and to which local server
// (an endpoint stays with the server it started with when the selection changes); an endpoint is dropped
// after 900 s without traffic, and the owner hears of it (so that tables of its own keyed
// by the endpoint do not outlive it).
//
// Fragments pass unchanged: the header belongs in front of the whole payload. A datagram
// whose frame cannot grow by 10 bytes within the 1514-byte frame area (a frame over 1504
// bytes) cannot be redirected; client_to_server says so, and the gateway drops it -- passing
// it would send it to its real destination behind the proxy's back. The table is bounded
// (redirect_limits.h): a datagram of an endpoint that finds no room is refused, and dropped
// by the gateway for the same reason. The default allows each client address 4,096
// endpoints, each of which costs a relay socket in the local UDP server.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "log/log.h"
#include "net/endpoint_key.h"
#include "proxy/redirect_expiry.h"
#include "proxy/redirect_limits.h"
#include "proxy/udp_request_header.h"
#include "tarnwell/control_interface.h"

namespace proxy {

class udp_redirect {
public:
    static constexpr std::chrono::seconds idle_limit{900};
    static constexpr std::size_t header_size = udp_request_header_size;
    static constexpr redirect_limits default_limits{4096, 262144};
    // refused: an unfragmented datagram of an endpoint the bounded table has no room for.
    enum class outcome { unchanged, rewritten, too_long, refused };
    using expired_callback = std::function<void(const std::vector<net::endpoint_key>&)>;

    udp_redirect(std::uint16_t proxy_port, log_printer printer, log_level level,
                 redirect_clock clock = &std::chrono::steady_clock::now, redirect_limits limits = default_limits);
    ~udp_redirect();
    udp_redirect(const udp_redirect&) = delete;
    udp_redirect& operator=(const udp_redirect&) = delete;

    // For an unfragmented IPv4/UDP frame: records its source endpoint and returns true when
    // it was not known yet (false too when the table has no room for it).
    bool is_new_client_endpoint(const tarnwell::INTERMEDIATE_BUFFER& buffer);
    outcome client_to_server(tarnwell::INTERMEDIATE_BUFFER& buffer);
    // Whether the table is redirecting this client endpoint (the local UDP server admits no
    // other sender).
    bool knows_client(const net::endpoint_key& client);
    bool server_to_client(tarnwell::INTERMEDIATE_BUFFER& buffer);

    void set_local_address(net::ip_address_v4 address) { local_address_.store(address.raw()); }
    void set_proxy_port(std::uint16_t port) { proxy_port_.store(port); }  // host order
    std::uint16_t proxy_port() const { return proxy_port_.load(); }
    // Called by the expiry thread, outside the table's lock, with the endpoints it dropped.
    void on_expired(expired_callback callback) { expired_ = std::move(callback); }

    void start_expiry() { expiry_.start(); }
    void stop_expiry() { expiry_.stop(); }
    void expire_pass();
    std::size_t size();

private:
    void log(const std::string& text) const { log_with_prefix(printer_, "udp_redirect: ", text); }
    bool logs(log_level at_least) const { return level_ >= at_least && static_cast<bool>(printer_); }

    std::atomic<std::uint32_t> local_address_{0};
    std::atomic<std::uint16_t> proxy_port_;
    log_printer printer_;
    log_level level_;
    redirect_clock clock_;
    expired_callback expired_;
    std::mutex mutex_;
    struct entry {
        std::chrono::steady_clock::time_point last_activity;
        std::uint16_t proxy_port = 0;  // host order
    };
    std::unordered_map<net::endpoint_key, entry> table_;
    redirect_admission admission_;  // guarded by mutex_, counts table_
    redirect_expiry expiry_;
};

}  // namespace proxy
