#pragma once
// Translation table of one transport protocol (the gateway keeps one for TCP, one for UDP):
// endpoint-dependent mapping of client flows to external ports 10000-65535 of the host's external
// address. Owns its entries through two indexes: by external port (replies from outside, port
// allocation) and by client endpoint (the client's packets). Every entry is in both or in
// neither.
//
// Called from the packet filter's two adapter threads and from the gateway's start and stop;
// every operation takes the table's one lock. A returned entry stays valid after the call even
// if another thread removes it from the table meanwhile.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "nat/nat_clock.h"
#include "nat/nat_entries.h"
#include "nat/ordered_multimap.h"
#include "nat/port_usage_index.h"
#include "net/endpoint_key.h"
#include "net/ip_address.h"

namespace nat {

class port_nat_table {
public:
    static constexpr std::uint16_t first_external_port = 10000;
    static constexpr std::uint16_t last_external_port = 65535;

    explicit port_nat_table(std::shared_ptr<const nat_clock> clock = system_nat_clock());
    // A table that allocates from first_port..last_port only: lets tests exhaust the ports.
    port_nat_table(std::shared_ptr<const nat_clock> clock, std::uint16_t first_port, std::uint16_t last_port);

    port_nat_table(const port_nat_table&) = delete;
    port_nat_table& operator=(const port_nat_table&) = delete;

    // The address copied into new entries (and into entries found by find_or_create).
    net::ip_address_v4 external_address() const noexcept { return external_address_.load(); }
    void set_external_address(net::ip_address_v4 address) noexcept { external_address_.store(address); }

    // The entry of this exact four-tuple, its last_activity set to now; empty when none.
    std::shared_ptr<const port_nat_entry> find_outgoing(net::ip_address_v4 client_address, std::uint16_t client_port,
                                                        net::ip_address_v4 remote_address, std::uint16_t remote_port);

    // The oldest entry on `external_port` for this remote endpoint; empty when none. Does not
    // refresh the entry: only the client's side keeps a flow alive.
    std::shared_ptr<const port_nat_entry> find_incoming(std::uint16_t external_port, net::ip_address_v4 remote_address,
                                                        std::uint16_t remote_port) const;

    // find_outgoing's entry with its external address refreshed, or a new entry on a newly
    // chosen external port. Empty only when no port can carry the flow: every port is already
    // used by a flow to the same remote endpoint, whose replies could not be told apart.
    std::shared_ptr<const port_nat_entry> find_or_create(net::ip_address_v4 client_address, std::uint16_t client_port,
                                                         net::ip_address_v4 remote_address, std::uint16_t remote_port);

    // Removes every entry (the sweep counter keeps counting).
    void clear();

    std::size_t size() const;
    // Every entry, by external port and oldest first under each port (tests, diagnostics).
    std::vector<std::shared_ptr<const port_nat_entry>> entries() const;
    // Whether both indexes and the port usage counts describe the same entries (tests).
    bool indexes_consistent() const;

private:
    using entry_ptr = std::shared_ptr<port_nat_entry>;

    entry_ptr find_outgoing_locked(const net::endpoint_key& client, net::ip_address_v4 remote_address,
                                   std::uint16_t remote_port) const;
    void sweep_stale_locked(std::int64_t now);
    bool evict_first_stale_locked(std::uint16_t external_port, std::int64_t now);
    std::optional<std::uint16_t> choose_port_locked(net::ip_address_v4 remote_address, std::uint16_t remote_port,
                                                    std::int64_t now);
    bool port_serves_remote_locked(std::uint16_t external_port, net::ip_address_v4 remote_address,
                                   std::uint16_t remote_port) const;
    void remove_locked(const entry_ptr& entry);
    void touch_locked(port_nat_entry& entry, std::int64_t now);

    const std::shared_ptr<const nat_clock> clock_;
    atomic_address_v4 external_address_;

    mutable std::mutex lock_;  // guards everything below
    ordered_multimap<std::uint16_t, entry_ptr> by_external_port_;
    ordered_multimap<net::endpoint_key, entry_ptr> by_client_;
    port_usage_index usage_;                  // entries per external port, kept with by_external_port_
    port_nat_entry::idle_order idle_order_;    // every entry by last_activity: the sweep takes a prefix
    std::uint32_t creations_since_sweep_ = 0;  // find_or_create calls that created, since the last sweep
};

}  // namespace nat
