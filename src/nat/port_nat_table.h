#pragma once
// Translation table of one transport protocol (the gateway keeps one for TCP, one for UDP):
// endpoint-dependent mapping of client flows to external ports 10000-65535 of the host's external
// address. Owns its entries through a translation_index (replies, port allocation, per-client
// share) and two indexes of its own: by four-tuple (the client's packets) and by idle time (the
// sweep). Every entry is in all of them or in none.
//
// One client address may hold at most max_entries_per_client entries (a quarter of the port
// range unless set otherwise), so that a client opening flows without end cannot take every
// port from the others: at its share, its own longest-idle entry makes way for its new flow.
// A flood then only churns the flooding client's entries, and a legitimately busy client
// (entries live ten minutes) keeps getting new flows at the cost of its least active ones.
//
// Called from the packet filter's two adapter threads and from the gateway's start and stop;
// every operation takes the table's one lock. A returned entry stays valid after the call even
// if another thread removes it from the table meanwhile.

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "nat/flow_key.h"
#include "nat/nat_clock.h"
#include "nat/nat_entries.h"
#include "nat/open_hash_map.h"
#include "nat/translation_index.h"
#include "net/ip_address.h"

namespace nat {

class port_nat_table {
public:
    static constexpr std::uint16_t first_external_port = 10000;
    static constexpr std::uint16_t last_external_port = 65535;
    static constexpr std::uint32_t no_client_limit = std::numeric_limits<std::uint32_t>::max();

    explicit port_nat_table(std::shared_ptr<const nat_clock> clock = system_nat_clock());
    // A table that allocates from first_port..last_port only: lets tests exhaust the ports.
    port_nat_table(std::shared_ptr<const nat_clock> clock, std::uint16_t first_port, std::uint16_t last_port);

    port_nat_table(const port_nat_table&) = delete;
    port_nat_table& operator=(const port_nat_table&) = delete;

    // The address copied into new entries (and into entries found by find_or_create).
    net::ip_address_v4 external_address() const noexcept { return external_address_.load(); }
    void set_external_address(net::ip_address_v4 address) noexcept { external_address_.store(address); }

    // Entries one client address may hold (at least 1; no_client_limit for none). Entries above
    // a lowered limit stay until they go stale; only new flows are refused.
    std::uint32_t max_entries_per_client() const;
    void set_max_entries_per_client(std::uint32_t entries);

    // The entry of this exact four-tuple, its last_activity set to now; empty when none.
    std::shared_ptr<const port_nat_entry> find_outgoing(net::ip_address_v4 client_address, std::uint16_t client_port,
                                                        net::ip_address_v4 remote_address, std::uint16_t remote_port);

    // The entry on `external_port` for this remote endpoint (there is at most one); empty when
    // none. Does not refresh the entry: only the client's side keeps a flow alive.
    std::shared_ptr<const port_nat_entry> find_incoming(std::uint16_t external_port, net::ip_address_v4 remote_address,
                                                        std::uint16_t remote_port) const;

    // find_outgoing's entry with its external address refreshed, or a new entry on a newly
    // chosen external port (a client at its share loses its longest-idle entry first). Empty
    // when every port is already used by a flow to the same remote endpoint, whose replies
    // could not be told apart.
    std::shared_ptr<const port_nat_entry> find_or_create(net::ip_address_v4 client_address, std::uint16_t client_port,
                                                         net::ip_address_v4 remote_address, std::uint16_t remote_port);

    // Removes every entry (the sweep counter keeps counting).
    void clear();

    std::size_t size() const;
    // Every entry, by external port and oldest first under each port (tests, diagnostics).
    std::vector<std::shared_ptr<const port_nat_entry>> entries() const;
    // Whether every index and the port usage counts describe the same entries (tests).
    bool indexes_consistent() const;
    // The longest time one idle sweep has held the table's lock, in nanoseconds (diagnostics).
    std::uint64_t longest_sweep_nanoseconds() const noexcept
    {
        return longest_sweep_ns_.load(std::memory_order_relaxed);
    }

private:
    using entry_ptr = std::shared_ptr<port_nat_entry>;

    const entry_ptr* find_outgoing_locked(const flow_key& flow) const;
    void make_room_for_client_locked(net::ip_address_v4 client_address);
    void sweep_stale_locked(std::int64_t now);
    bool evict_first_stale_locked(std::uint16_t external_port, std::int64_t now);
    void remove_locked(port_nat_entry& entry);
    void touch_locked(port_nat_entry& entry, std::int64_t now);

    const std::shared_ptr<const nat_clock> clock_;
    atomic_address_v4 external_address_;
    std::atomic<std::uint64_t> longest_sweep_ns_{0};  // written under lock_, read without it

    mutable std::mutex lock_;  // guards everything below
    translation_index<port_nat_entry> index_;
    open_hash_map<flow_key, entry_ptr, flow_key_hash> by_flow_;
    port_nat_entry::idle_order idle_order_;    // every entry by last_activity: the sweep takes a prefix
    std::uint32_t creations_since_sweep_ = 0;  // find_or_create calls that found no entry, since the last sweep
    std::uint32_t max_entries_per_client_;
};

}  // namespace nat
