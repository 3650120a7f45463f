#pragma once
// nat::nat_translation: the four packet callbacks of the NAT gateway's two-adapter filter
// (slot 0 the Wintun client interface, slot 1 the provider interface). They translate client
// flows to the host's external address through the three tables, learn that address from the
// gateway's probe datagram, and work in place on the filter's buffers.
//
// Owned by the gateway; borrows its tables, the interface source (route look-ups) and the
// capture file. Threads: the client callbacks run on the filter's slot-0 thread, the provider
// callbacks on its slot-1 thread, both at once. `configure` and `use_host_routing` /
// `use_forced_routing` come from the gateway's start and stop under its state lock:
// `configure` only while neither slot runs (the slot threads are started after it and joined
// before the next call), the routing switch also while slots run (atomic publication).
//
// Fragmented datagrams: the first fragment is translated by its ports like any datagram, and
// the address it was given is remembered (fragment_tracker.h, one tracker per direction) so
// that the datagram's other fragments, which carry no ports, follow it. Those fragments only
// get the new address and IP header checksum. The callbacks give a verdict per packet and
// cannot hold one back, so a fragment that comes before its first fragment cannot wait for
// it: leaving, it is dropped (sent with the client's private source it could never be
// reassembled with the rest, and it would show the private address outside); arriving, it
// goes up to the host unchanged, as every packet that matches no flow does (it may be the
// host's own).
//
// Checksums: the change of address and port is carried into the transport checksum
// (incremental update), so its cost does not grow with the payload and a datagram that
// arrived damaged still fails at its receiver instead of leaving with a fresh, valid sum.
// The IP header checksum is recomputed in full.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "nat/fragment_tracker.h"
#include "nat/icmp_nat_table.h"
#include "nat/nat_entries.h"
#include "nat/port_nat_table.h"
#include "net/ip_address.h"
#include "net/network_interfaces.h"
#include "pcap/pcap_file_storage.h"
#include "log/log.h"
#include "tarnwell/control_interface.h"
#include "tarnwell/dual_packet_filter.h"

namespace nat {

using packet_action = tarnwell::dual_packet_filter::packet_action;
using mac_address = std::array<std::uint8_t, 6>;

// The facts of the two interfaces the callbacks use, copied out of their interface records.
struct translation_settings {
    std::uint32_t provider_if_index = 0;
    std::vector<net::ip_address_v4> provider_addresses;  // IPv4 unicast addresses of the provider
    std::uint32_t provider_mtu = 0;
    std::uint32_t client_mtu = 0;
};

class nat_translation {
public:
    nat_translation(port_nat_table& tcp_table, port_nat_table& udp_table, icmp_nat_table& icmp_table,
                    net::interface_source& interfaces, log_printer printer, log_level level,
                    std::shared_ptr<pcap::pcap_file_storage> capture);
    nat_translation(const nat_translation&) = delete;
    nat_translation& operator=(const nat_translation&) = delete;

    // Slot 0, outgoing: the host's packets towards the VPN server. Capture only.
    packet_action process_client_outgoing(std::uint64_t adapter, tarnwell::INTERMEDIATE_BUFFER& buffer);
    // Slot 0, incoming: the clients' packets. Translated and sent out of the provider adapter
    // in forced routing; otherwise up to the host unchanged.
    packet_action process_client_incoming(std::uint64_t adapter, tarnwell::INTERMEDIATE_BUFFER& buffer);
    // Slot 1, outgoing: learns the external address from the probe; translates what the host
    // forwarded from the clients.
    packet_action process_provider_outgoing(std::uint64_t adapter, tarnwell::INTERMEDIATE_BUFFER& buffer);
    // Slot 1, incoming: maps replies back to their clients.
    packet_action process_provider_incoming(std::uint64_t adapter, tarnwell::INTERMEDIATE_BUFFER& buffer);

    // Also forgets every tracked fragmented datagram.
    void configure(translation_settings settings);
    // Host routing: the provider callbacks translate; the client side passes everything.
    void use_host_routing() noexcept;
    // Forced routing: client packets go straight out of the provider adapter with these
    // Ethernet addresses.
    void use_forced_routing(const mac_address& local, const mac_address& remote) noexcept;
    bool force_routing() const noexcept { return force_routing_.load(std::memory_order_acquire); }

    // 0 until the probe datagram was seen.
    net::ip_address_v4 external_address() const noexcept { return external_address_.load(); }
    void set_external_address(net::ip_address_v4 address) noexcept { external_address_.store(address); }

private:
    struct parsed;  // where the headers of one frame lie

    static bool parse(tarnwell::INTERMEDIATE_BUFFER& buffer, parsed& out) noexcept;
    void capture(const tarnwell::INTERMEDIATE_BUFFER& buffer);
    bool routes_through_provider(net::ip_address_v4 destination) const;
    bool is_provider_address(net::ip_address_v4 source) const;
    bool is_probe(const parsed& p) const;
    // Finds or creates the entry of a client packet and rewrites its source. `forced`: the
    // packet leaves through the provider adapter here (size check, WAN Ethernet addresses).
    packet_action translate_outgoing(tarnwell::INTERMEDIATE_BUFFER& buffer, const parsed& p, bool forced);
    // A fragment after the first of a client datagram: follows its first fragment or is dropped.
    packet_action translate_trailing_outgoing(tarnwell::INTERMEDIATE_BUFFER& buffer, const parsed& p, bool forced);
    // Forced routing, a packet larger than the provider's MTU: answered with "fragmentation
    // needed" when it may not be fragmented, else up to the host unchanged.
    packet_action answer_oversized(tarnwell::INTERMEDIATE_BUFFER& buffer, const parsed& p, bool clamped);
    packet_action leave_through_provider(tarnwell::INTERMEDIATE_BUFFER& buffer) const;
    void translate_incoming(tarnwell::INTERMEDIATE_BUFFER& buffer, const parsed& p);
    // A new flow found no free port or identifier: the packet is dropped, and said at debug
    // at most once a second (a flood of them must not flood the log).
    packet_action drop_unmapped(const parsed& p);

    port_nat_table& tcp_table_;
    port_nat_table& udp_table_;
    icmp_nat_table& icmp_table_;
    net::interface_source& interfaces_;
    const log_printer printer_;
    const log_level level_;
    const std::shared_ptr<pcap::pcap_file_storage> capture_;

    translation_settings settings_;
    atomic_address_v4 external_address_;
    std::atomic<bool> force_routing_{false};
    // Written before force_routing_ is published true, read after it was seen true.
    mac_address wan_local_mac_{};
    mac_address wan_remote_mac_{};
    std::atomic<std::int64_t> last_unmapped_log_{0};  // steady clock seconds
    // Client datagrams by their client-side key -> external address; replies by their
    // outside key -> client address.
    fragment_tracker outgoing_fragments_;
    fragment_tracker incoming_fragments_;
};

}  // namespace nat
