#pragma once
// Translation table of ICMP: every ICMP message of a client gets a fresh entry with an external
// identifier 0-65535, and replies are mapped back by that identifier and their source. Owns its
// entries through two indexes, by external identifier (replies, allocation) and by client
// address; every entry is in both or in neither.
//
// Called from the packet filter's two adapter threads and from the gateway's start and stop;
// every operation takes the table's one lock. A returned entry stays valid after the call even
// if another thread removes it from the table meanwhile.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "nat/nat_clock.h"
#include "nat/nat_entries.h"
#include "nat/ordered_multimap.h"
#include "nat/port_usage_index.h"
#include "net/ip_address.h"

namespace nat {

class icmp_nat_table {
public:
    static constexpr std::uint16_t first_external_id = 0;
    static constexpr std::uint16_t last_external_id = 65535;

    explicit icmp_nat_table(std::shared_ptr<const nat_clock> clock = system_nat_clock());
    // A table that allocates from first_id..last_id only: lets tests exhaust the identifiers.
    icmp_nat_table(std::shared_ptr<const nat_clock> clock, std::uint16_t first_id, std::uint16_t last_id);

    icmp_nat_table(const icmp_nat_table&) = delete;
    icmp_nat_table& operator=(const icmp_nat_table&) = delete;

    net::ip_address_v4 external_address() const noexcept { return external_address_.load(); }
    void set_external_address(net::ip_address_v4 address) noexcept { external_address_.store(address); }

    // A new entry with a newly chosen external identifier; there is no reuse of an earlier
    // entry. Empty only when every identifier is already used towards `remote_address`, whose
    // replies could not be told apart.
    std::shared_ptr<const icmp_nat_entry> create_mapping(net::ip_address_v4 client_address,
                                                         net::ip_address_v4 remote_address, std::uint16_t client_id);

    // The oldest entry with this external identifier towards `remote_address`; empty when none.
    std::shared_ptr<const icmp_nat_entry> find_reply(std::uint16_t external_id, net::ip_address_v4 remote_address) const;

    void clear();

    std::size_t size() const;
    // Every entry, by external identifier and oldest first under each (tests, diagnostics).
    std::vector<std::shared_ptr<const icmp_nat_entry>> entries() const;
    // Whether both indexes and the usage counts describe the same entries (tests).
    bool indexes_consistent() const;

private:
    using entry_ptr = std::shared_ptr<icmp_nat_entry>;

    bool evict_first_stale_locked(std::uint16_t external_id, std::int64_t now);
    std::optional<std::uint16_t> choose_id_locked(net::ip_address_v4 remote_address, std::int64_t now);
    bool id_serves_remote_locked(std::uint16_t external_id, net::ip_address_v4 remote_address) const;
    void remove_locked(const entry_ptr& entry);

    const std::shared_ptr<const nat_clock> clock_;
    atomic_address_v4 external_address_;

    mutable std::mutex lock_;  // guards everything below
    ordered_multimap<std::uint16_t, entry_ptr> by_external_id_;
    ordered_multimap<net::ip_address_v4, entry_ptr> by_client_address_;
    port_usage_index usage_;  // entries per external identifier, kept with by_external_id_
};

}  // namespace nat
