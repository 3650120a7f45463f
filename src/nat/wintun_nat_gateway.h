#pragma once
// nat::wintun_nat_gateway: the gateway of mode nat. Finds the VPN server's Wintun adapter
// (by friendly name, medium IP) and the provider adapter (the host's route to 1.1.1.1),
// filters both through a dual packet filter whose callbacks translate (nat_translation.h),
// switches IP forwarding on, learns the external address from a probe datagram, chooses
// between routing by the host and forced routing over a dial-up WAN link, and keeps itself
// running: a watchdog restarts it after failed starts, interface changes and adapter-list
// changes.
//
// Owns the filter, the three tables, the translation, the interface-change subscription,
// the forwarding request, the capture file (log level all) and the watchdog thread.
// Called by the service worker (construction, start, stop, destruction); entered also by the
// watchdog thread, the system's notification thread and the filter's threads.
//
// Locks: state_lock_ serialises start_internal, stop_internal and internal_restart (it is
// held across the wait for the external address, which stop ends); lifecycle_lock_
// serialises start() and stop(); config_lock_ guards the stored configuration for the
// notification and watchdog threads, which must not wait behind the state lock.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "nat/icmp_nat_table.h"
#include "nat/nat_gateway_environment.h"
#include "nat/nat_translation.h"
#include "nat/port_nat_table.h"
#include "net/interface_change_subscription.h"
#include "net/network_interfaces.h"
#include "platform/ip_forwarding.h"
#include "log/gateway_events.h"
#include "log/log.h"
#include "tarnwell/dual_packet_filter.h"
#include "tarnwell/network_adapter.h"

namespace nat {

enum class gateway_state : std::uint32_t { starting = 0, running = 1, stopping = 2, stopped = 3 };
enum class watchdog_request : std::uint32_t { none = 0, restart = 1, exit = 2 };

// The adapters and interfaces one start works with.
struct network_configuration {
    std::uint64_t client_handle = 0;
    std::uint64_t provider_handle = 0;
    std::optional<net::interface_info> client_interface;
    std::optional<net::interface_info> provider_interface;
    std::shared_ptr<tarnwell::network_adapter> client_adapter;
    std::shared_ptr<tarnwell::network_adapter> provider_adapter;
};

class wintun_nat_gateway {
public:
    using event_handler = void (*)(proxy_event);

    // `handler` may be null. Never throws for a missing driver: the gateway then finds no
    // adapters and its watchdog keeps trying.
    wintun_nat_gateway(std::string client_adapter_name, log_printer printer, log_level level,
                       event_handler handler, nat_gateway_environment environment = {});
    // Stops the gateway; every thread it started has ended when this returns.
    ~wintun_nat_gateway();
    wintun_nat_gateway(const wintun_nat_gateway&) = delete;
    wintun_nat_gateway& operator=(const wintun_nat_gateway&) = delete;

    // False when already started; true otherwise, also when the first attempt failed and the
    // watchdog keeps trying.
    bool start();
    // False when not started. Ends a start that waits for the external address.
    bool stop();

    // The adapters and interfaces to use now, or nothing (logged).
    std::optional<network_configuration> get_network_configuration();

    // Observers for tests and diagnostics.
    gateway_state state() const noexcept { return state_.load(); }
    net::ip_address_v4 external_address() const noexcept { return translation_.external_address(); }
    bool force_routing() const noexcept { return translation_.force_routing(); }
    const port_nat_table& tcp_table() const noexcept { return tcp_table_; }
    const port_nat_table& udp_table() const noexcept { return udp_table_; }
    const icmp_nat_table& icmp_table() const noexcept { return icmp_table_; }
    const tarnwell::dual_packet_filter& filter() const noexcept { return *filter_; }

private:
    // The caller holds state_lock_.
    std::optional<gateway_state> start_internal();
    std::optional<gateway_state> stop_internal();
    std::optional<gateway_state> internal_restart();

    void watchdog();
    void reset_leftover_mode(std::uint64_t handle, const char* message);
    void on_interface_change(const platform::interface_change& change);
    void request_restart() noexcept;
    bool send_probe();
    bool wait_for_external_address();
    bool choose_forced_routing(const network_configuration& configuration, mac_address& local,
                               mac_address& remote);
    void store_configuration(network_configuration configuration);
    void send_event(std::uint32_t kind);
    void log(std::string_view message) const;
    // Sleeps up to `duration`; returns early (true) when the watchdog is asked to exit.
    bool watchdog_sleep(std::chrono::milliseconds duration);

    const std::string client_adapter_name_;
    const log_printer printer_;
    const log_level level_;
    const event_handler handler_;
    nat_gateway_environment environment_;
    net::interface_source& interfaces_;

    std::atomic<bool> started_{false};
    std::atomic<gateway_state> state_{gateway_state::stopped};
    std::atomic<watchdog_request> watchdog_request_{watchdog_request::none};
    std::mutex wake_mutex_;  // with wake_: interrupts the gateway's sleeps on stop
    std::condition_variable wake_;
    std::chrono::steady_clock::time_point last_restart_{};  // watchdog thread only

    std::mutex lifecycle_lock_;
    std::mutex state_lock_;
    mutable std::mutex config_lock_;
    network_configuration configuration_;  // guarded by config_lock_; written under state_lock_ too

    std::shared_ptr<pcap::pcap_file_storage> capture_;
    port_nat_table tcp_table_;
    port_nat_table udp_table_;
    icmp_nat_table icmp_table_;
    nat_translation translation_;

    platform::ip_forwarding_request forwarding_;
    bool forwarding_requested_ = false;  // start/stop only

    net::interface_change_subscription subscription_;
    std::thread watchdog_thread_;
    // Last member: destroyed first, so its threads end before anything their callbacks use.
    std::unique_ptr<tarnwell::dual_packet_filter> filter_;
};

}  // namespace nat
