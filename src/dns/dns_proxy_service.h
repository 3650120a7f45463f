#pragma once
// The DNS forwarder of mode proxy. The proxy gateway hands it every client IPv4/UDP frame to
// port 53 (forward_query) instead of redirecting it; the forwarder sends the query's message,
// under ids of its own, from its own UDP sockets to every upstream server it knows, and turns
// the first answer into the reply frame that the driver sends to the client through the
// Wintun adapter, as if the server the client asked had answered.
//
// Servers: the ones named with -dns (kept for the life of the service: an admin chose
// them), else the host's (followed when interfaces change, refresh_dns_servers), else
// 1.1.1.1 and 8.8.8.8. IPv4 servers always exist; IPv6 ones only when named.
//
// What it believes: an answer only from a server's address and port 53, only under an id a
// waiting query holds for that server, and only when it repeats the query's question. The
// first such answer (IPv4 or IPv6 server) is delivered; the query is then forgotten, so
// every later answer finds nothing. An IPv6 server's answer without records does not end the
// query: the other servers may know better. Waiting queries are bounded and expire
// (dns/pending_queries.h).
//
// Threads: forward_query on a packet filter thread, the completion handlers on the port's
// workers, refresh_dns_servers on the system's notification thread; one mutex guards all
// state, and reply injection happens under it.
//
// Lifetime: built after the completion port (not owned), destroyed before it. Destruction
// closes both sockets, waits (bounded, while the port runs) until every outstanding receive
// and send has come back, then releases the completion registrations, after which no handler
// runs. Records the system may still write (the port was not running) are left to it.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dns/pending_queries.h"
#include "log/log.h"
#include "net/ip_address.h"
#include "platform/control_device.h"
#include "platform/host_dns_servers.h"
#include "platform/socket.h"
#include "platform/unique_socket.h"
#include "proxy/io_completion_port.h"
#include "tarnwell/control_interface.h"

namespace pcap {
class pcap_file_storage;
}
namespace tarnwell {
class CTarnwell;
}

namespace dns {

// What the forwarder takes from its host; every member left empty means the real system.
struct dns_proxy_environment {
    // Opens the driver's control device; empty: "\\.\CORVFLT".
    std::function<std::unique_ptr<platform::control_device>()> open_device;
    // The host's DNS servers; empty: platform::query_host_dns_servers.
    std::function<bool(platform::host_dns_servers&)> host_servers;
    pending_limits limits;
    dns_clock clock = &std::chrono::steady_clock::now;
    random_source random;  // empty: platform::fill_random
};

// The fallback when neither the command line nor the host names an IPv4 server.
const std::array<net::ip_address_v4, 2>& default_dns_servers();

struct dns_server_entry {
    net::ip_address_any address;
    platform::socket_address socket_address{};  // port 53
    int socket_address_length = 0;
};

class dns_proxy_service {
public:
    static constexpr std::size_t send_context_count = 100;
    static constexpr std::uint16_t server_port = 53;
    static constexpr std::chrono::seconds drain_limit{5};

    // Throws std::runtime_error "Network Filter Driver is not loaded!", "Failed to initialize
    // DNS client!" or "Failed to fetch any useable DNS server address!". A non-empty
    // `servers` list is fixed: interface changes do not replace it.
    dns_proxy_service(proxy::io_completion_port& port, log_printer printer, log_level level,
                      std::shared_ptr<pcap::pcap_file_storage> capture, const std::vector<net::ip_address_any>& servers,
                      dns_proxy_environment environment = {});
    ~dns_proxy_service();
    dns_proxy_service(const dns_proxy_service&) = delete;
    dns_proxy_service& operator=(const dns_proxy_service&) = delete;

    void forward_query(std::uint64_t adapter_handle, const tarnwell::INTERMEDIATE_BUFFER& buffer);
    // Re-reads the host's servers; true when the lists were rebuilt (every waiting query is
    // dropped then).
    bool refresh_dns_servers();

    // Observers for tests and diagnostics.
    std::vector<net::ip_address_any> servers();
    std::size_t pending_count();
    std::size_t free_send_contexts();
    std::uint16_t ipv4_local_port();
    bool fixed_servers() const { return fixed_servers_; }

private:
    struct io_state;

    void shut_down();
    bool initialize_sockets();
    bool open_socket(server_family family);
    bool fetch_dns_servers(const std::vector<net::ip_address_any>* servers);
    void add_server_locked(const net::ip_address_any& address);
    void send_locked(pending_query& query, server_family family);
    bool handle_completion(server_family family, std::uint32_t bytes, platform::overlapped* ov, bool ok);
    void handle_answer_locked(server_family family, std::uint32_t bytes);
    void deliver_locked(pending_query& query, const std::uint8_t* answer, std::size_t length);
    std::uint32_t post_receive_locked(server_family family);
    std::set<std::uint32_t> host_ipv4_set();

    bool logs(log_level at_least) const { return level_ >= at_least && static_cast<bool>(printer_); }
    void log(const std::string& text) const;

    std::mutex lock_;
    std::array<std::vector<dns_server_entry>, family_count> servers_;
    // The host's IPv4 servers as last read: what refresh compares with (the defaults that
    // stand in for an empty host list are not the host's).
    std::set<std::uint32_t> host_ipv4_;
    std::array<platform::unique_socket, family_count> sockets_;
    proxy::io_completion_port& port_;
    std::array<proxy::completion_registration, family_count> registrations_;
    std::unique_ptr<io_state> io_;
    std::unique_ptr<tarnwell::CTarnwell> driver_;
    log_printer printer_;
    log_level level_;
    std::shared_ptr<pcap::pcap_file_storage> capture_;
    dns_proxy_environment environment_;
    pending_queries pending_;
    std::atomic<bool> stop_{false};
    bool fixed_servers_ = false;
    bool refusing_ = false;  // a refusal was logged; the next is not until one is accepted
    std::condition_variable drained_;
};

}  // namespace dns
