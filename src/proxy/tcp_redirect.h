#pragma once
// The TCP half of the proxy gateway's redirection, on the Wintun adapter: a client segment
// to D:d leaves towards A:p (the adapter's own address, the selected local TCP server's
// port), and the server's segments back to the client get D:d as their source again. The
// table maps the client endpoint to D:d; it is filled by the client's SYN, refreshed by
// traffic, dropped by FIN or RST (after that segment is still rewritten) and after 300 s
// without traffic.
//
// Each entry keeps the server port it was redirected to, so that a switch of the selected
// server (the proxy configuration changed) leaves established connections on theirs; a
// server segment is restored only when it comes from the entry's server.
//
// A second SYN from an endpoint that has an entry is a retransmission when it goes to the
// same destination (its first copy was lost, typically to a full accept backlog): it is
// redirected like the first. To another destination it is a new connection from a reused
// port: the entry is replaced.
//
// The table is bounded (redirect_limits.h): a SYN that would need an entry beyond the bound
// is refused, and dropped by the gateway. The default allows each client address 16,384
// entries, more than the local TCP servers let one client hold, so that their limits (with
// their log line) are the ones a busy client meets.
//
// Threads: the rewriters run on the packet filter's threads, the expiry on its own thread;
// one mutex guards the table. local_address and proxy_port are atomics: the gateway's
// threads set them while packets flow.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "log/log.h"
#include "net/endpoint_key.h"
#include "proxy/redirect_expiry.h"
#include "proxy/redirect_limits.h"
#include "tarnwell/control_interface.h"

namespace proxy {

class tcp_redirect {
public:
    static constexpr std::chrono::seconds idle_limit{300};
    static constexpr redirect_limits default_limits{16384, 262144};
    // refused: a SYN of a new client endpoint the bounded table has no room for.
    enum class outcome { unchanged, rewritten, refused };

    tcp_redirect(std::uint16_t proxy_port, log_printer printer, log_level level,
                 redirect_clock clock = &std::chrono::steady_clock::now, redirect_limits limits = default_limits);
    ~tcp_redirect();
    tcp_redirect(const tcp_redirect&) = delete;
    tcp_redirect& operator=(const tcp_redirect&) = delete;

    outcome client_to_server(tarnwell::INTERMEDIATE_BUFFER& buffer);
    // Whether the frame was rewritten.
    bool server_to_client(tarnwell::INTERMEDIATE_BUFFER& buffer);

    void set_local_address(net::ip_address_v4 address) { local_address_.store(address.raw()); }
    net::ip_address_v4 local_address() const;
    // Host order.
    void set_proxy_port(std::uint16_t port) { proxy_port_.store(port); }
    std::uint16_t proxy_port() const { return proxy_port_.load(); }

    void start_expiry() { expiry_.start(); }
    void stop_expiry() { expiry_.stop(); }
    // One pass of the expiry thread.
    void expire_pass();
    std::size_t size();

private:
    struct entry {
        net::ip_address_v4 address;
        std::uint16_t port = 0;  // host order
        std::chrono::steady_clock::time_point last_activity;
        std::uint16_t proxy_port = 0;  // the local server's, host order
    };
    void log(const std::string& text) const { log_with_prefix(printer_, "tcp_redirect: ", text); }
    bool logs(log_level at_least) const { return level_ >= at_least && static_cast<bool>(printer_); }

    std::atomic<std::uint32_t> local_address_{0};
    std::atomic<std::uint16_t> proxy_port_;
    log_printer printer_;
    log_level level_;
    redirect_clock clock_;
    std::mutex mutex_;
    std::unordered_map<net::endpoint_key, entry> table_;
    redirect_admission admission_;  // guarded by mutex_, counts table_
    redirect_expiry expiry_;
};

std::string to_string(const net::endpoint_key& endpoint);

}  // namespace proxy
