#include "nat/wintun_nat_gateway.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "platform/adapter_names.h"
#include "platform/ntstatus_to_win32.h"
#include "tarnwell/control_interface.h"
#include "tarnwell/wan_miniports.h"

namespace nat {
namespace {

constexpr const char* log_prefix = "wintun_nat_gateway: ";
constexpr net::ip_address_v4 probe_address{1, 1, 1, 1};
constexpr std::uint16_t probe_port = 53;
constexpr char probe_text[] = "1.1.1.1";
constexpr std::chrono::milliseconds watchdog_period{500};
constexpr std::chrono::milliseconds restart_delay{1000};
constexpr std::chrono::milliseconds restart_interval{2000};
constexpr std::chrono::milliseconds address_check_period{1000};

// UTF-8 of a wide string holding UTF-16 (Windows) or UTF-32 (Linux) code units. Unpaired
// surrogates and values beyond Unicode become U+FFFD.
std::string to_utf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            const std::uint32_t low = static_cast<std::uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Whether a WAN link's address is one of the interface's unicast addresses (same family;
// the link names families as Winsock does, the interface as the host does).
bool link_holds_address(const tarnwell::wan_link_address& link, const net::interface_info& info)
{
    for (const sockaddr_storage& storage : info.unicast_addresses) {
        if (storage.ss_family == AF_INET && link.family == tarnwell::WAN_ADDRESS_FAMILY_IPV4) {
            sockaddr_in v4;
            std::memcpy(&v4, &storage, sizeof v4);
            if (std::memcmp(&v4.sin_addr, link.address.data(), 4) == 0)
                return true;
        } else if (storage.ss_family == AF_INET6 && link.family == tarnwell::WAN_ADDRESS_FAMILY_IPV6) {
            sockaddr_in6 v6;
            std::memcpy(&v6, &storage, sizeof v6);
            if (std::memcmp(&v6.sin6_addr, link.address.data(), 16) == 0)
                return true;
        }
    }
    return false;
}

std::shared_ptr<const nat_clock> clock_of(const nat_gateway_environment& environment)
{
    return environment.clock ? environment.clock : system_nat_clock();
}

std::unique_ptr<tarnwell::dual_packet_filter> open_filter(const nat_gateway_environment& environment)
{
    if (environment.open_device)
        return std::make_unique<tarnwell::dual_packet_filter>(environment.open_device());
    return std::make_unique<tarnwell::dual_packet_filter>();
}

}  // namespace

wintun_nat_gateway::wintun_nat_gateway(std::string client_adapter_name, log_printer printer, log_level level,
                                       event_handler handler, nat_gateway_environment environment)
    : client_adapter_name_(std::move(client_adapter_name)),
      printer_(std::move(printer)),
      level_(level),
      handler_(handler),
      environment_(std::move(environment)),
      interfaces_(environment_.interfaces ? *environment_.interfaces : net::system_interface_source()),
      capture_(level_ >= log_level::all ? std::make_shared<pcap::pcap_file_storage>(environment_.capture_file)
                                        : nullptr),
      tcp_table_(clock_of(environment_)),
      udp_table_(clock_of(environment_)),
      icmp_table_(clock_of(environment_)),
      translation_(tcp_table_, udp_table_, icmp_table_, interfaces_, printer_, level_, capture_),
      subscription_([this](const platform::interface_change& change) { on_interface_change(change); },
                    [this](const std::string& line) { log(line); },
                    environment_.notifier ? *environment_.notifier : net::system_interface_change_notifier()),
      filter_(open_filter(environment_))
{
    const auto outgoing = [this](std::size_t slot) -> tarnwell::dual_packet_filter::packet_callback {
        if (slot == 0)
            return [this](std::uint64_t a, tarnwell::INTERMEDIATE_BUFFER& b) {
                return translation_.process_client_outgoing(a, b);
            };
        return [this](std::uint64_t a, tarnwell::INTERMEDIATE_BUFFER& b) {
            return translation_.process_provider_outgoing(a, b);
        };
    };
    filter_->set_callbacks(0, outgoing(0), [this](std::uint64_t a, tarnwell::INTERMEDIATE_BUFFER& b) {
        return translation_.process_client_incoming(a, b);
    });
    filter_->set_callbacks(1, outgoing(1), [this](std::uint64_t a, tarnwell::INTERMEDIATE_BUFFER& b) {
        return translation_.process_provider_incoming(a, b);
    });
    filter_->add_list_change_callback([this] { request_restart(); });
    if (!filter_->IsDriverOpen() && level_ >= log_level::info)
        log("The packet filter driver is not available");
}

wintun_nat_gateway::~wintun_nat_gateway()
{
    stop();
    // A subscription left from a failed stop must not call into what is destroyed next.
    subscription_.cancel_notify_ip_interface_change();
}

void wintun_nat_gateway::log(std::string_view message) const
{
    log_with_prefix(printer_, log_prefix, message);
}

void wintun_nat_gateway::send_event(std::uint32_t kind)
{
    if (handler_)
        handler_(proxy_event{kind, 0});
}

void wintun_nat_gateway::request_restart() noexcept
{
    watchdog_request expected = watchdog_request::none;
    watchdog_request_.compare_exchange_strong(expected, watchdog_request::restart);
}

// ---------------------------------------------------------------------------------------
// Configuration

std::optional<network_configuration> wintun_nat_gateway::get_network_configuration()
{
    const bool info = level_ >= log_level::info;
    // The driver signals adapters that come and go, not a connection the admin renamed: the
    // names are read anew before they are matched.
    filter_->refresh_adapters();
    const std::vector<std::shared_ptr<tarnwell::network_adapter>> adapters = filter_->get_adapters();
    network_configuration configuration;

    for (const auto& adapter : adapters) {
        if (adapter->medium() == tarnwell::NDIS_MEDIUM_IP && adapter->friendly_name() == client_adapter_name_) {
            configuration.client_adapter = adapter;
            break;
        }
    }
    if (!configuration.client_adapter) {
        if (info)
            log("get_network_configuration: Failed to identify WinTun adapter \n");
        return std::nullopt;
    }
    if (info)
        log("get_network_configuration: WinTun adapter successfully identified \n");
    configuration.client_handle = configuration.client_adapter->adapter_handle();

    const std::vector<net::interface_info> interfaces = net::get_network_interfaces(interfaces_);
    const std::string& client_name = configuration.client_adapter->internal_name();
    for (const net::interface_info& record : interfaces) {
        // An empty name "occurs" in every name: it identifies nothing.
        if (!record.adapter_name.empty() && client_name.find(record.adapter_name) != std::string::npos) {
            configuration.client_interface = record;
            break;
        }
    }
    if (!configuration.client_interface) {
        if (level_ > log_level::info)
            log("get_network_configuration: Failed to lookup address interface information for the: " +
                client_name);
        return std::nullopt;
    }

    configuration.provider_interface = net::get_best_interface(probe_address, interfaces_);
    if (!configuration.provider_interface)
        return std::nullopt;
    const net::interface_info& provider = *configuration.provider_interface;

    for (const auto& adapter : adapters) {
        bool match = false;
        if (provider.if_type == platform::if_type_ppp) {
            if (const auto links = adapter->get_wan_links())
                match = std::any_of(links->begin(), links->end(),
                                    [&](const tarnwell::wan_link_address& l) { return link_holds_address(l, provider); });
        } else {
            match = !provider.adapter_name.empty() &&
                    adapter->internal_name().find(provider.adapter_name) != std::string::npos;
        }
        if (match) {
            configuration.provider_adapter = adapter;
            break;
        }
    }
    if (!configuration.provider_adapter) {
        if (info)
            log("get_network_configuration: Failed to find a matching Sieveline interface for the " +
                provider.adapter_name);
        return std::nullopt;
    }
    configuration.provider_handle = configuration.provider_adapter->adapter_handle();
    return configuration;
}

void wintun_nat_gateway::store_configuration(network_configuration configuration)
{
    std::lock_guard lock(config_lock_);
    configuration_ = std::move(configuration);
}

// ---------------------------------------------------------------------------------------
// Start and stop of the translation

std::optional<gateway_state> wintun_nat_gateway::start_internal()
{
    const bool info = level_ >= log_level::info;
    const gateway_state now = state_.load();
    if (now == gateway_state::starting || now == gateway_state::running)
        return std::nullopt;

    state_.store(gateway_state::starting);
    std::optional<network_configuration> found = get_network_configuration();
    if (!found) {
        state_.store(gateway_state::stopped);
        return gateway_state::stopped;
    }
    const network_configuration configuration = *found;
    store_configuration(configuration);
    translation_settings settings;
    settings.provider_if_index = configuration.provider_interface->if_index;
    settings.provider_addresses = net::ipv4_unicast_addresses(*configuration.provider_interface);
    settings.provider_mtu = configuration.provider_interface->mtu;
    settings.client_mtu = configuration.client_interface->mtu;
    translation_.configure(std::move(settings));  // neither slot runs here

    if (!filter_->start_filter(configuration.client_handle, 0) ||
        !filter_->start_filter(configuration.provider_handle, 1)) {
        filter_->stop_filter(0);
        filter_->stop_filter(1);
        state_.store(gateway_state::stopped);
        send_event(proxy_event_kind::filter_start_failed);
        if (info)
            log("start_internal: NDIS filter has failed to start! \n");
        return gateway_state::stopped;
    }
    if (info) {
        log("Client interface: " + configuration.client_interface->adapter_name + " : " +
            to_utf8(configuration.client_interface->friendly_name));
        log("Provider interface: " + configuration.provider_interface->adapter_name + " : " +
            to_utf8(configuration.provider_interface->friendly_name));
        log("start_internal: NDIS filter successfully started!\n");
    }
    state_.store(gateway_state::running);
    send_event(proxy_event_kind::started);

    const bool sent = send_probe();
    if (info)
        log(sent ? "start_internal: Auto-config packet was sent successfully! \n"
                 : "start_internal: Failed to send auto-config packet! \n");

    if (!wait_for_external_address()) {
        // Stopped while the probe had not come through: undo this start.
        if (info)
            log("start_internal: Stopped before the external address was identified\n");
        stop_internal();
        return gateway_state::stopped;
    }

    const net::ip_address_v4 external = translation_.external_address();
    mac_address local{};
    mac_address remote{};
    const bool forced = choose_forced_routing(configuration, local, remote);
    tcp_table_.set_external_address(external);
    udp_table_.set_external_address(external);
    icmp_table_.set_external_address(external);
    if (forced) {
        translation_.use_forced_routing(local, remote);
        if (info)
            log("start_internal: Force routing ENABLED!\n");
        return gateway_state::running;
    }
    translation_.use_host_routing();
    if (info)
        log("start_internal: Force routing DISABLED!\n");
    // The host forwards the clients' packets itself; only the provider stays filtered.
    filter_->stop_filter(0);
    return gateway_state::running;
}

bool wintun_nat_gateway::wait_for_external_address()
{
    std::unique_lock lock(wake_mutex_);
    for (;;) {
        if (!(translation_.external_address() == net::ip_address_v4{}))
            return true;
        if (!started_.load())
            return false;
        wake_.wait_for(lock, address_check_period, [this] { return !started_.load(); });
    }
}

bool wintun_nat_gateway::choose_forced_routing(const network_configuration& configuration, mac_address& local,
                                               mac_address& remote)
{
    const bool supported = environment_.forced_routing_supported ? environment_.forced_routing_supported()
                                                                 : platform::is_windows_version_or_greater(6, 1);
    if (!supported || !configuration.provider_adapter ||
        configuration.provider_adapter->wan_kind() != tarnwell::WAN_KIND_IP)
        return false;
    auto links = std::make_unique<tarnwell::WAN_LINKS>();
    std::memset(links.get(), 0, sizeof(tarnwell::WAN_LINKS));
    if (!filter_->QueryWanLinks(configuration.provider_handle, links.get()))
        return false;
    const net::ip_address_v4 external = translation_.external_address();
    const std::uint32_t count = std::min<std::uint32_t>(links->count, tarnwell::MAX_WAN_LINKS);
    for (std::uint32_t i = 0; i < count; ++i) {
        const tarnwell::WAN_LINK_INFO& link = links->links[i];
        if (net::ip_address_v4::from_bytes(link.protocol_buffer + tarnwell::WAN_PROTOCOL_IPV4_OFFSET) == external) {
            std::memcpy(local.data(), link.local_address, local.size());
            std::memcpy(remote.data(), link.remote_address, remote.size());
            return true;
        }
    }
    return false;
}

std::optional<gateway_state> wintun_nat_gateway::stop_internal()
{
    const gateway_state now = state_.load();
    if (now == gateway_state::stopping || now == gateway_state::stopped)
        return std::nullopt;
    state_.store(gateway_state::stopping);
    translation_.set_external_address({});
    filter_->stop_filter(0);
    filter_->stop_filter(1);
    tcp_table_.clear();
    udp_table_.clear();
    icmp_table_.clear();
    // A later start translates nothing before it has learnt the address anew.
    tcp_table_.set_external_address({});
    udp_table_.set_external_address({});
    icmp_table_.set_external_address({});
    store_configuration({});
    state_.store(gateway_state::stopped);
    send_event(proxy_event_kind::stopped);
    return gateway_state::stopped;
}

std::optional<gateway_state> wintun_nat_gateway::internal_restart()
{
    const bool info = level_ >= log_level::info;
    if (stop_internal() == gateway_state::stopped && info)
        log("internal_restart: NAT was successfully stopped!");
    const std::optional<gateway_state> started = start_internal();
    if (info)
        log(started == gateway_state::running ? "internal_restart: NAT was successfully started!"
                                              : "internal_restart: NAT has failed to start!");
    return started;
}

bool wintun_nat_gateway::send_probe()
{
    const platform::udp_send_result result =
        environment_.send_probe ? environment_.send_probe()
                                : platform::send_udp_datagram(probe_address.to_in_addr(), probe_port, probe_text,
                                                              sizeof probe_text - 1);
    if (level_ >= log_level::all) {
        if (result.socket_error != 0)
            log("socket() failed with error code = " + std::to_string(result.socket_error));
        else if (result.send_error != 0)
            log("sendto() failed with error code = " + std::to_string(result.send_error));
    }
    return result.socket_error == 0 && result.send_error == 0 && result.bytes_sent == sizeof probe_text - 1;
}

// ---------------------------------------------------------------------------------------
// Public start and stop

bool wintun_nat_gateway::start()
{
    std::lock_guard lifecycle(lifecycle_lock_);
    bool expected = false;
    if (!started_.compare_exchange_strong(expected, true))
        return false;

    const std::uint32_t answer = environment_.enable_router ? environment_.enable_router() : forwarding_.enable_router();
    forwarding_requested_ = answer == platform::error_io_pending;

    subscription_.set_notify_ip_interface_change();  // logs its own failure; the start goes on

    std::lock_guard lock(state_lock_);
    const std::optional<gateway_state> result = start_internal();
    if (result && level_ >= log_level::info)
        log(*result == gateway_state::running ? "NAT was started successfully" : "NAT was not started. Keep trying...");
    try {
        watchdog_thread_ = std::thread([this] { watchdog(); });
    } catch (const std::exception& error) {
        if (level_ >= log_level::info)
            log(std::string("starting watchdog thread has failed:") + error.what());
    }
    return true;
}

bool wintun_nat_gateway::stop()
{
    bool expected = true;
    if (!started_.compare_exchange_strong(expected, false))
        return false;
    // Wakes a start or restart that waits for the external address, and the watchdog's sleeps.
    {
        std::lock_guard wake(wake_mutex_);
    }
    wake_.notify_all();

    std::lock_guard lifecycle(lifecycle_lock_);
    subscription_.cancel_notify_ip_interface_change();  // logs its own failure; the stop goes on
    if (forwarding_requested_) {
        if (environment_.unenable_router)
            environment_.unenable_router();
        else
            forwarding_.unenable_router();
        forwarding_requested_ = false;
    }

    if (watchdog_thread_.joinable()) {
        {
            std::lock_guard wake(wake_mutex_);
            watchdog_request_.store(watchdog_request::exit);
        }
        wake_.notify_all();
        watchdog_thread_.join();
    }
    {
        std::lock_guard lock(state_lock_);
        stop_internal();
    }
    while (subscription_.callbacks_in_progress() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

// ---------------------------------------------------------------------------------------
// Watchdog and change notifications

bool wintun_nat_gateway::watchdog_sleep(std::chrono::milliseconds duration)
{
    std::unique_lock lock(wake_mutex_);
    return wake_.wait_for(lock, duration, [this] { return watchdog_request_.load() == watchdog_request::exit; });
}

void wintun_nat_gateway::reset_leftover_mode(std::uint64_t handle, const char* message)
{
    // A zero handle fails the query, which reads as mode zero: nothing to reset.
    if (filter_->IsAdapterModeZero(handle))
        return;
    if (level_ >= log_level::info)
        log(message);
    filter_->ApplyAdapterMode(tarnwell::ADAPTER_MODE{handle, 0});
}

void wintun_nat_gateway::watchdog()
{
    const bool info = level_ >= log_level::info;
    if (info)
        log("watchdog: started!");
    last_restart_ = std::chrono::steady_clock::now();
    for (;;) {
        watchdog_sleep(watchdog_period);
        const watchdog_request request = watchdog_request_.load();

        if (state_.load() == gateway_state::stopped) {
            std::uint64_t provider = 0;
            std::uint64_t client = 0;
            {
                std::lock_guard lock(config_lock_);
                provider = configuration_.provider_handle;
                client = configuration_.client_handle;
            }
            reset_leftover_mode(provider, "watchdog: NAT is stopped, but default adapter was not reset! \n");
            reset_leftover_mode(client, "watchdog: NAT is stopped, but WinTun adapter was not reset! \n");
        }

        const auto now = std::chrono::steady_clock::now();
        if (started_.load() && state_.load() != gateway_state::running && now - last_restart_ > restart_interval) {
            last_restart_ = now;
            request_restart();
        }

        if (request == watchdog_request::restart) {
            // A restart asked for just before a stop would only start what stop ends.
            if (!watchdog_sleep(restart_delay) && started_.load()) {
                std::optional<gateway_state> result;
                {
                    std::lock_guard lock(state_lock_);
                    result = internal_restart();
                }
                if (info)
                    log(result == gateway_state::running ? "watchdog: NAT was successfully started!"
                                                         : "watchdog: NAT has failed to start!");
            }
            watchdog_request expected = watchdog_request::restart;
            watchdog_request_.compare_exchange_strong(expected, watchdog_request::none);
            continue;
        }
        if (request == watchdog_request::exit)
            break;
    }
    if (info)
        log("watchdog: exited!");
    watchdog_request expected = watchdog_request::exit;
    watchdog_request_.compare_exchange_strong(expected, watchdog_request::none);
}

void wintun_nat_gateway::on_interface_change(const platform::interface_change& change)
{
    if (change.kind == platform::interface_change_kind::initial)
        return;
    const std::optional<network_configuration> fresh = get_network_configuration();
    bool changed = !fresh;
    if (fresh) {
        std::lock_guard lock(config_lock_);
        const network_configuration& stored = configuration_;
        const auto differs = [](const std::optional<net::interface_info>& a,
                                const std::optional<net::interface_info>& b) {
            return a.has_value() != b.has_value() || (a && b && a->luid != b->luid);
        };
        changed = fresh->client_handle != stored.client_handle || fresh->provider_handle != stored.provider_handle ||
                  differs(fresh->client_interface, stored.client_interface) ||
                  differs(fresh->provider_interface, stored.provider_interface);
    }
    if (changed)
        request_restart();
}

}  // namespace nat
