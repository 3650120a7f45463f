#pragma once
// proxy::wintun_proxy_gateway: the gateway of mode proxy. Filters the VPN server's Wintun
// adapter and rewrites the clients' packets in place so that their TCP connections and UDP
// datagrams reach the local proxy servers of this process (tcp_redirect, udp_redirect),
// which connect directly or through the upstream proxy the system's proxy configuration
// names; answers NTP itself; hands DNS queries to the DNS forwarder.
//
// Owns the completion port, the five local servers, the DNS forwarder, both redirect
// tables, the packet filter, the capture file (log level all) and three threads: the gateway
// thread (finds the adapter, starts and restarts the filter), the proxy watch thread (follows
// the proxy configuration every second and on interface changes) and the redirect tables'
// expiry threads.
//
// Locks: lock_ guards tcp_destinations, udp_clients, the proxy list and the upstream proxy;
// each redirect table has its own; the gateway thread's wake-up has its own. The packet
// callbacks take lock_ only for a SYN or a new UDP endpoint.
//
// Order at stop: the servers stop before the completion port's pool (their operations come
// back through it), and the filter stops before anything its callbacks use goes away.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dns/dns_proxy_service.h"
#include "log/gateway_events.h"
#include "log/log.h"
#include "net/endpoint_key.h"
#include "net/interface_change_subscription.h"
#include "net/network_interfaces.h"
#include "proxy/http_tcp_proxy_socket.h"
#include "proxy/io_completion_port.h"
#include "proxy/proxy_list.h"
#include "proxy/socks5_tcp_proxy_socket.h"
#include "proxy/socks5_udp_proxy_server.h"
#include "proxy/tcp_proxy_server.h"
#include "proxy/tcp_proxy_socket.h"
#include "proxy/tcp_redirect.h"
#include "proxy/udp_proxy_server.h"
#include "proxy/udp_redirect.h"
#include "tarnwell/queued_packet_filter.h"

namespace pcap {
class pcap_file_storage;
}

namespace proxy {

// What the gateway takes from its host; empty members mean the real system.
struct proxy_gateway_environment {
    // Opens the driver's control device (the filter and the DNS forwarder each open one);
    // empty: "\\.\CORVFLT".
    std::function<std::unique_ptr<platform::control_device>()> open_device;
    net::interface_source* interfaces = nullptr;  // must outlive the gateway
    const net::interface_change_notifier* notifier = nullptr;
    // One discovery of the system's proxies: false when it failed; empty: proxy_resolver.
    std::function<bool(proxy_list&)> discover_proxies;
    // The DNS forwarder's own seams (its open_device defaults to the one above).
    dns::dns_proxy_environment dns;
    redirect_clock clock = &std::chrono::steady_clock::now;
    std::string capture_file = "wintun_proxy_gateway.pcap";
    // Bound of tcp_destinations: a client that follows each SYN with a RST leaves an entry
    // no server ever takes, for the 300 s of destination_limit. A SYN of a new endpoint
    // beyond it is dropped.
    std::size_t tcp_destination_capacity = 262144;
};

class wintun_proxy_gateway {
public:
    using event_handler = proxy_event_callback;
    static constexpr std::chrono::seconds destination_limit{300};

    // Throws std::runtime_error when the driver cannot be opened, or a local server or the
    // DNS forwarder cannot be created.
    wintun_proxy_gateway(std::string interface_name, log_printer printer, log_level level, event_handler handler,
                         const std::vector<net::ip_address_any>& dns_servers,
                         proxy_gateway_environment environment = {});
    ~wintun_proxy_gateway();
    wintun_proxy_gateway(const wintun_proxy_gateway&) = delete;
    wintun_proxy_gateway& operator=(const wintun_proxy_gateway&) = delete;

    bool start();
    bool stop();

    // The packet callbacks; public for tests.
    tarnwell::queued_packet_filter::packet_action on_client_packet(std::uint64_t adapter, tarnwell::INTERMEDIATE_BUFFER& buffer);
    tarnwell::queued_packet_filter::packet_action on_server_packet(std::uint64_t adapter, tarnwell::INTERMEDIATE_BUFFER& buffer);
    // One run of the proxy watch thread.
    void update_proxy();

    // Observers for tests and diagnostics.
    std::uint16_t tcp_port() const { return tcp_server_->listen_port(); }
    std::uint16_t socks_tcp_port() const { return socks_tcp_server_->listen_port(); }
    std::uint16_t http_tcp_port() const { return http_tcp_server_->listen_port(); }
    std::uint16_t udp_port() const { return udp_server_->listen_port(); }
    std::uint16_t socks_udp_port() const { return socks_udp_server_->listen_port(); }
    tcp_redirect& tcp_redirection() { return *tcp_redirect_; }
    udp_redirect& udp_redirection() { return *udp_redirect_; }
    dns::dns_proxy_service& dns_forwarder() { return *dns_; }
    std::size_t tcp_destination_count();
    std::size_t udp_client_count();
    std::uint32_t interface_state() const { return interface_state_.load(); }
    // Drops tcp_destinations entries older than the limit; the watch thread calls it.
    void expire_destinations();

private:
    struct destination {
        net::ip_address_v4 address;
        std::uint16_t port = 0;
        std::chrono::steady_clock::time_point created;
    };
    template <class Context>
    std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<Context>> take_destination(
        net::ip_address_v4 client, std::uint16_t port, const char* label, bool upstream);

    // Whether a SYN of `client` may record its destination.
    bool has_destination_room(const net::endpoint_key& client);
    void gateway_thread();
    void proxy_watch_thread();
    bool configure_interface();
    void wake_gateway_thread();
    void on_interface_change();
    void use_direct_servers_locked();
    void send_event(std::uint32_t kind);
    bool logs(log_level at_least) const { return level_ >= at_least && static_cast<bool>(printer_); }
    void log(const std::string& text) const;

    const std::string interface_name_;
    const log_printer printer_;
    const log_level level_;
    const event_handler handler_;
    proxy_gateway_environment environment_;
    net::interface_source& interfaces_;

    std::mutex lock_;
    std::unordered_map<net::endpoint_key, destination> tcp_destinations_;
    std::unordered_set<net::endpoint_key> udp_clients_;
    proxy_list proxy_list_;
    std::vector<std::string> proxy_warnings_;
    net::ip_address_v4 upstream_address_;
    std::uint16_t upstream_port_ = 0;

    io_completion_port port_;
    std::shared_ptr<pcap::pcap_file_storage> capture_;
    std::unique_ptr<dns::dns_proxy_service> dns_;
    std::unique_ptr<tcp_proxy_server<tcp_proxy_socket>> tcp_server_;
    std::unique_ptr<tcp_proxy_server<socks5_tcp_proxy_socket, socks5_negotiate_context>> socks_tcp_server_;
    std::unique_ptr<tcp_proxy_server<http_tcp_proxy_socket>> http_tcp_server_;
    std::unique_ptr<udp_proxy_server> udp_server_;
    std::unique_ptr<socks5_udp_proxy_server> socks_udp_server_;
    std::unique_ptr<tcp_redirect> tcp_redirect_;
    std::unique_ptr<udp_redirect> udp_redirect_;

    std::atomic<bool> active_{false};
    std::atomic<std::uint32_t> interface_state_{0};
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    bool wake_set_ = false;
    std::thread gateway_thread_;
    std::mutex watch_mutex_;  // with watch_wake_: the proxy-change signal and the exit flag
    std::condition_variable watch_wake_;
    bool proxy_changed_ = false;
    bool watch_exit_ = false;
    std::thread proxy_watch_thread_;

    net::interface_change_subscription subscription_;
    // Last: destroyed first, so its threads end before anything their callbacks use.
    std::unique_ptr<tarnwell::queued_packet_filter> filter_;
};

}  // namespace proxy
