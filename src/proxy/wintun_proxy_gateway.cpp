#include "proxy/wintun_proxy_gateway.h"

#include <cstring>

#include "net/byte_order.h"
#include "net/headers.h"
#include "net/rewriters.h"
#include "pcap/pcap_file_storage.h"
#include "proxy/proxy_resolver.h"

namespace proxy {

namespace {

using packet_action = tarnwell::queued_packet_filter::packet_action;
using peer = std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<negotiate_context>>;
constexpr const char* log_prefix = "wintun_proxy_gateway: ";
constexpr std::uint16_t dns_port = 53;
constexpr std::uint16_t ntp_port = 123;
constexpr std::uint16_t fragment_offset_mask = 0x1FFF;

std::string endpoint_text(net::ip_address_v4 address, std::uint16_t port)
{
    return net::to_string(address) + " : " + std::to_string(port);
}

bool system_discovery(proxy_list& list, std::vector<std::string>& warnings)
{
    try {
        proxy_resolver resolver;
        const bool ok = resolver.resolve_proxy() == 0;
        if (ok)
            list = resolver.parse_proxy_list();
        warnings = resolver.warnings();
        return ok;
    } catch (const std::exception&) {
        return false;
    }
}

std::unique_ptr<tarnwell::queued_packet_filter> open_filter(const proxy_gateway_environment& environment,
                                                            tarnwell::queued_packet_filter::packet_callback outgoing,
                                                            tarnwell::queued_packet_filter::packet_callback incoming)
{
    if (environment.open_device)
        return std::make_unique<tarnwell::queued_packet_filter>(environment.open_device(), std::move(outgoing),
                                                                std::move(incoming));
    return std::make_unique<tarnwell::queued_packet_filter>(std::move(outgoing), std::move(incoming));
}

}  // namespace

wintun_proxy_gateway::wintun_proxy_gateway(std::string interface_name, log_printer printer, log_level level,
                                           event_handler handler, const std::vector<net::ip_address_any>& dns_servers,
                                           proxy_gateway_environment environment)
    : interface_name_(std::move(interface_name)),
      printer_(std::move(printer)),
      level_(level),
      handler_(handler),
      environment_(std::move(environment)),
      interfaces_(environment_.interfaces ? *environment_.interfaces : net::system_interface_source()),
      subscription_([this](const platform::interface_change&) { on_interface_change(); },
                    [this](const std::string& line) { log(line); },
                    environment_.notifier ? *environment_.notifier : net::system_interface_change_notifier())
{
    if (level_ >= log_level::all)
        capture_ = std::make_shared<pcap::pcap_file_storage>(environment_.capture_file);
    dns::dns_proxy_environment dns_environment = environment_.dns;
    if (!dns_environment.open_device)
        dns_environment.open_device = environment_.open_device;
    dns_ = std::make_unique<dns::dns_proxy_service>(port_, printer_, level_, capture_, dns_servers, dns_environment);

    const bool debug = logs(log_level::debug);
    tcp_server_ = std::make_unique<tcp_proxy_server<tcp_proxy_socket>>(
        0, port_,
        [this](net::ip_address_v4 a, std::uint16_t p) {
            return take_destination<negotiate_context>(a, p, "TCP Redirect entry was found for the ", false);
        },
        printer_, level_);
    if (debug)
        log("Local TCP proxy is listening port: " + std::to_string(tcp_server_->listen_port()));
    socks_tcp_server_ = std::make_unique<tcp_proxy_server<socks5_tcp_proxy_socket, socks5_negotiate_context>>(
        0, port_,
        [this](net::ip_address_v4 a, std::uint16_t p) {
            return take_destination<socks5_negotiate_context>(a, p, "SOCKS: TCP Redirect entry was found for the ",
                                                              true);
        },
        printer_, level_);
    if (debug)
        log("Local TCP SOCKS proxy is listening port: " + std::to_string(socks_tcp_server_->listen_port()));
    http_tcp_server_ = std::make_unique<tcp_proxy_server<http_tcp_proxy_socket>>(
        0, port_,
        [this](net::ip_address_v4 a, std::uint16_t p) {
            return take_destination<negotiate_context>(a, p, "HTTP: TCP Redirect entry was found for the ", true);
        },
        printer_, level_);
    if (debug)
        log("Local TCP HTTP proxy is listening port: " + std::to_string(http_tcp_server_->listen_port()));
    udp_server_ = std::make_unique<udp_proxy_server>(
        0, port_,
        [](net::ip_address_v4, std::uint16_t) {
            return peer(net::ip_address_v4{}, 0, nullptr);
        },
        printer_, level_);
    if (debug)
        log("Local UDP proxy is listening port: " + std::to_string(udp_server_->listen_port()));
    socks_udp_server_ = std::make_unique<socks5_udp_proxy_server>(
        0, port_,
        [this](net::ip_address_v4 a, std::uint16_t p) {
            std::lock_guard lock(lock_);
            if (udp_clients_.erase(net::endpoint_key{a, p}) == 0)
                return peer(net::ip_address_v4{}, 0, nullptr);
            if (logs(log_level::debug))
                log("UDP Redirect entry was found for the " + endpoint_text(a, p));
            return peer(upstream_address_, upstream_port_, nullptr);
        },
        printer_, level_);

    tcp_redirect_ = std::make_unique<tcp_redirect>(tcp_server_->listen_port(), printer_, level_, environment_.clock);
    udp_redirect_ = std::make_unique<udp_redirect>(udp_server_->listen_port(), printer_, level_, environment_.clock);
    // The UDP server listens on every address and takes each destination from the datagram:
    // only endpoints the redirect is carrying may use it, or it would relay for anyone.
    udp_server_->set_client_check([redirect = udp_redirect_.get()](net::ip_address_v4 a, std::uint16_t p) {
        return redirect->knows_client(net::endpoint_key{a, p});
    });
    // An endpoint the redirect forgot must not stay in udp_clients: in direct mode nothing
    // else would ever take it out.
    udp_redirect_->on_expired([this](const std::vector<net::endpoint_key>& endpoints) {
        std::lock_guard lock(lock_);
        for (const net::endpoint_key& e : endpoints)
            udp_clients_.erase(e);
    });
    update_proxy();
    filter_ = open_filter(
        environment_,
        [this](std::uint64_t a, tarnwell::INTERMEDIATE_BUFFER& b) { return on_server_packet(a, b); },
        [this](std::uint64_t a, tarnwell::INTERMEDIATE_BUFFER& b) { return on_client_packet(a, b); });
    tcp_redirect_->start_expiry();
    udp_redirect_->start_expiry();
    proxy_watch_thread_ = std::thread([this] { proxy_watch_thread(); });
}

wintun_proxy_gateway::~wintun_proxy_gateway()
{
    stop();
    {
        std::lock_guard lock(watch_mutex_);
        watch_exit_ = true;
    }
    watch_wake_.notify_all();
    if (proxy_watch_thread_.joinable())
        proxy_watch_thread_.join();
    subscription_.cancel_notify_ip_interface_change();
    // Nothing may call into the forwarder once it goes: the filter is stopped first.
    if (filter_)
        filter_->stop_filter();
    tcp_redirect_->stop_expiry();
    udp_redirect_->stop_expiry();
    // The forwarder's receives are posted from its construction on; they come back through
    // the port's workers, which must run while it closes its sockets.
    const bool pool_was_running = port_.is_active();
    if (!pool_was_running)
        port_.start_thread_pool();
    dns_.reset();
    port_.stop_thread_pool();
}

void wintun_proxy_gateway::log(const std::string& text) const { log_with_prefix(printer_, log_prefix, text); }

void wintun_proxy_gateway::send_event(std::uint32_t kind)
{
    if (handler_)
        handler_(proxy_event{kind, 0});
}

template <class Context>
std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<Context>> wintun_proxy_gateway::take_destination(
    net::ip_address_v4 client, std::uint16_t port, const char* label, bool upstream)
{
    std::lock_guard lock(lock_);
    const auto it = tcp_destinations_.find(net::endpoint_key{client, port});
    if (it == tcp_destinations_.end())
        return {net::ip_address_v4{}, std::uint16_t{0}, nullptr};
    const destination d = it->second;
    tcp_destinations_.erase(it);
    if (logs(log_level::debug))
        log(label + endpoint_text(client, port) + " is " + endpoint_text(d.address, d.port));
    if (!upstream)
        return {d.address, d.port, nullptr};
    return {upstream_address_, upstream_port_, std::make_unique<Context>(d.address, d.port)};
}

bool wintun_proxy_gateway::start()
{
    bool expected = false;
    if (!active_.compare_exchange_strong(expected, true))
        return false;
    subscription_.set_notify_ip_interface_change();
    {
        std::lock_guard lock(wake_mutex_);
        wake_set_ = false;
    }
    gateway_thread_ = std::thread([this] { gateway_thread(); });
    port_.start_thread_pool();
    tcp_server_->start();
    socks_tcp_server_->start();
    http_tcp_server_->start();
    udp_server_->start();
    socks_udp_server_->start();
    return true;
}

bool wintun_proxy_gateway::stop()
{
    bool expected = true;
    if (!active_.compare_exchange_strong(expected, false))
        return false;
    subscription_.cancel_notify_ip_interface_change();
    socks_udp_server_->stop();
    udp_server_->stop();
    http_tcp_server_->stop();
    socks_tcp_server_->stop();
    tcp_server_->stop();
    // The forwarder keeps the pool for its own shutdown (see the destructor) only when it
    // is destroyed; a stopped gateway is not started again.
    wake_gateway_thread();
    if (gateway_thread_.joinable())
        gateway_thread_.join();
    return true;
}

void wintun_proxy_gateway::wake_gateway_thread()
{
    {
        std::lock_guard lock(wake_mutex_);
        wake_set_ = true;
    }
    wake_.notify_all();
}

void wintun_proxy_gateway::on_interface_change()
{
    dns_->refresh_dns_servers();
    {
        std::lock_guard lock(watch_mutex_);
        proxy_changed_ = true;
    }
    watch_wake_.notify_all();
}

bool wintun_proxy_gateway::configure_interface()
{
    const bool debug = logs(log_level::debug);
    const auto& adapters = filter_->get_adapters();
    std::size_t index = adapters.size();
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        if (adapters[i]->medium() == tarnwell::NDIS_MEDIUM_IP && adapters[i]->friendly_name() == interface_name_) {
            index = i;
            break;
        }
    }
    if (index == adapters.size()) {
        if (debug)
            log("Device not found!");
        if (interface_state_.exchange(1) != 1)
            send_event(proxy_event_kind::stopped);
        return false;
    }
    const auto& adapter = *adapters[index];
    if (debug)
        log("Network interface: " + interface_name_ + " is detected.");
    const std::vector<net::interface_info> interfaces = net::get_network_interfaces(interfaces_);
    const net::interface_info* info = nullptr;
    for (const net::interface_info& record : interfaces) {
        if (!record.adapter_name.empty() && adapter.internal_name().find(record.adapter_name) != std::string::npos) {
            info = &record;
            break;
        }
    }
    if (!info) {
        if (debug)
            log("Failed to lookup address interface information for the: " + interface_name_);
        return false;
    }
    for (const net::ip_address_v4& address : net::ipv4_unicast_addresses(*info)) {
        if (debug)
            log("IP: " + net::to_string(address));
        tcp_redirect_->set_local_address(address);
        udp_redirect_->set_local_address(address);
    }
    // Also after a failed start: each pass of the loop follows a wake-up, which is the
    // chance to try again (a filter that failed once is not left off for good).
    if (filter_->start_filter(index)) {
        if (debug)
            log("NDIS filter has started!");
        interface_state_.store(0);
        send_event(proxy_event_kind::started);
    } else {
        interface_state_.store(2);
        send_event(proxy_event_kind::filter_start_failed);
        if (debug)
            log("[ERROR] Failed to start NDIS filter!");
    }
    return true;
}

void wintun_proxy_gateway::gateway_thread()
{
    while (active_.load()) {
        if (filter_->state() != tarnwell::filter_state::stopped)
            filter_->stop_filter();
        filter_->reconfigure();
        configure_interface();

        std::unique_lock lock(wake_mutex_);
        if (interface_state_.load() == 1)
            wake_.wait_for(lock, std::chrono::milliseconds(2000), [this] { return wake_set_; });
        else
            wake_.wait(lock, [this] { return wake_set_; });
        wake_set_ = false;
        // A second's pause between passes; stop() cuts it short.
        wake_.wait_for(lock, std::chrono::seconds(1), [this] { return !active_.load(); });
    }
    if (filter_->state() != tarnwell::filter_state::stopped)
        filter_->stop_filter();
}

void wintun_proxy_gateway::proxy_watch_thread()
{
    std::unique_lock lock(watch_mutex_);
    while (!watch_exit_) {
        watch_wake_.wait_for(lock, std::chrono::milliseconds(1000), [this] { return watch_exit_ || proxy_changed_; });
        if (watch_exit_)
            break;
        proxy_changed_ = false;
        lock.unlock();
        update_proxy();
        expire_destinations();
        lock.lock();
    }
}

void wintun_proxy_gateway::use_direct_servers_locked()
{
    upstream_address_ = {};
    upstream_port_ = 0;
    tcp_redirect_->set_proxy_port(tcp_server_->listen_port());
    udp_redirect_->set_proxy_port(udp_server_->listen_port());
}

void wintun_proxy_gateway::update_proxy()
{
    proxy_list discovered;
    std::vector<std::string> warnings;
    const bool ok = environment_.discover_proxies ? environment_.discover_proxies(discovered)
                                                  : system_discovery(discovered, warnings);
    std::lock_guard lock(lock_);
    // Said once per change of the configuration, not every second.
    if (warnings != proxy_warnings_) {
        proxy_warnings_ = warnings;
        if (logs(log_level::info))
            for (const std::string& warning : warnings)
                log(warning);
    }
    if (!ok) {
        if (logs(log_level::debug))
            log(std::string("Failed to resolve proxy for ") + proxy_probe_url);
        proxy_list_.clear();
        use_direct_servers_locked();
        return;
    }
    if (discovered == proxy_list_)
        return;
    proxy_list_ = std::move(discovered);
    for (const proxy_list_entry& entry : proxy_list_) {
        if (entry.kind == proxy_kind::ftp)
            continue;
        const auto v4 = std::find_if(entry.addresses.begin(), entry.addresses.end(),
                                     [](const net::ip_address_any& a) { return a.is_v4(); });
        if (v4 == entry.addresses.end())
            continue;
        upstream_address_ = v4->as_v4();
        upstream_port_ = entry.port;
        if (entry.kind == proxy_kind::socks) {
            tcp_redirect_->set_proxy_port(socks_tcp_server_->listen_port());
            udp_redirect_->set_proxy_port(socks_udp_server_->listen_port());
        } else {
            tcp_redirect_->set_proxy_port(http_tcp_server_->listen_port());
            udp_redirect_->set_proxy_port(udp_server_->listen_port());
        }
        if (logs(log_level::debug))
            log("Switching to Proxy: " + endpoint_text(upstream_address_, upstream_port_));
        return;
    }
    use_direct_servers_locked();
    if (logs(log_level::debug))
        log("Switching to direct connections");
}

void wintun_proxy_gateway::expire_destinations()
{
    const auto now = environment_.clock();
    std::lock_guard lock(lock_);
    std::erase_if(tcp_destinations_, [&](const auto& item) { return now - item.second.created > destination_limit; });
}

bool wintun_proxy_gateway::has_destination_room(const net::endpoint_key& client)
{
    std::lock_guard lock(lock_);
    return tcp_destinations_.size() < environment_.tcp_destination_capacity ||
           tcp_destinations_.find(client) != tcp_destinations_.end();
}

std::size_t wintun_proxy_gateway::tcp_destination_count()
{
    std::lock_guard lock(lock_);
    return tcp_destinations_.size();
}

std::size_t wintun_proxy_gateway::udp_client_count()
{
    std::lock_guard lock(lock_);
    return udp_clients_.size();
}

packet_action wintun_proxy_gateway::on_client_packet(std::uint64_t adapter, tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    if (capture_)
        *capture_ << buffer;
    const net::ipv4_header* ip = net::ipv4_header_of(buffer);
    if (!ip)
        return packet_action::pass;  // IPv6, ARP, or no sound IPv4 header
    // A later fragment carries no transport header: it passes as it is.
    if ((net::network_to_host16(ip->flags_fragment) & fragment_offset_mask) != 0)
        return packet_action::pass;
    if (const net::tcp_header* tcp = net::tcp_header_of(buffer)) {
        const bool syn = tcp->flags == net::tcp_flag_syn;
        const net::endpoint_key client{ip->source, net::network_to_host16(tcp->source_port)};
        const std::uint16_t port = net::network_to_host16(tcp->destination_port);
        if (syn && !has_destination_room(client)) {
            if (logs(log_level::all))
                log("Dropped a TCP SYN of " + to_string(client) + ": no room for its destination");
            return packet_action::drop;
        }
        const net::ip_address_v4 real_destination = ip->destination;  // before the rewrite
        if (tcp_redirect_->client_to_server(buffer) == tcp_redirect::outcome::refused) {
            // The client holds as many redirected connections as it may; passing the SYN
            // would open the connection past the proxy.
            if (logs(log_level::all))
                log("Dropped a TCP SYN of " + to_string(client) + ": no room in the redirect table");
            return packet_action::drop;
        }
        if (syn) {
            std::lock_guard lock(lock_);
            tcp_destinations_[client] = destination{real_destination, port, environment_.clock()};
            if (logs(log_level::debug))
                log("Redirecting TCP " + to_string(client) + " -> " + endpoint_text(real_destination, port));
        }
        return packet_action::pass;
    }
    const net::udp_header* udp = net::udp_header_of(buffer);
    if (!udp)
        return packet_action::pass;
    const std::uint16_t destination_port = net::network_to_host16(udp->destination_port);
    if (destination_port == dns_port) {
        dns_->forward_query(adapter, buffer);
        return packet_action::drop;
    }
    if (destination_port == ntp_port) {
        if (!net::make_ntp_reply(buffer))
            return packet_action::pass;
        if (capture_)
            *capture_ << buffer;
        return packet_action::revert;
    }
    if (buffer.frame[0] & 0x01)  // broadcast or multicast destination MAC
        return packet_action::pass;
    if (udp_redirect_->is_new_client_endpoint(buffer)) {
        const net::endpoint_key client{ip->source, net::network_to_host16(udp->source_port)};
        std::lock_guard lock(lock_);
        udp_clients_.insert(client);
        if (logs(log_level::debug))
            log("Redirecting UDP " + to_string(client) + " -> " + endpoint_text(ip->destination, destination_port));
    }
    // Passing either would send the datagram to its destination past the proxy.
    switch (udp_redirect_->client_to_server(buffer)) {
    case udp_redirect::outcome::too_long:
        if (logs(log_level::debug))
            log("Dropped a UDP datagram too long for the redirect header: frame of " + std::to_string(buffer.length) +
                " bytes");
        return packet_action::drop;
    case udp_redirect::outcome::refused:
        if (logs(log_level::all))
            log("Dropped a UDP datagram of " + endpoint_text(ip->source, net::network_to_host16(udp->source_port)) +
                ": no room in the redirect table");
        return packet_action::drop;
    default:
        return packet_action::pass;
    }
}

packet_action wintun_proxy_gateway::on_server_packet(std::uint64_t, tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    // Any of the local servers, not only the one selected now: connections opened before a
    // switch of the proxy configuration keep theirs (the redirect entry names it).
    if (const net::tcp_header* tcp = net::tcp_header_of(buffer)) {
        const std::uint16_t port = net::network_to_host16(tcp->source_port);
        if (port == tcp_port() || port == socks_tcp_port() || port == http_tcp_port())
            tcp_redirect_->server_to_client(buffer);
    } else if (const net::udp_header* udp = net::udp_header_of(buffer)) {
        const std::uint16_t port = net::network_to_host16(udp->source_port);
        if (port == udp_port() || port == socks_udp_port())
            udp_redirect_->server_to_client(buffer);
    }
    if (capture_)
        *capture_ << buffer;
    return packet_action::pass;
}

}  // namespace proxy
