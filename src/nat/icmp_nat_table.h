#pragma once
// Translation table of ICMP: every ICMP message of a client gets a fresh entry with an external
// identifier 0-65535, and replies are mapped back by that identifier and their source. Owns its
// entries through a translation_index (replies, allocation, per-client share); every entry is in
// all of its indexes or in none.
//
// One client address may hold at most max_entries_per_client entries (a quarter of the
// identifier range unless set otherwise): entries are never refreshed and live 600 seconds,
// so a client flooding messages would otherwise take every identifier from the others. At its
// share, the client's own oldest message makes way for its new one.
//
// Called from the packet filter's two adapter threads and from the gateway's start and stop;
// every operation takes the table's one lock. A returned entry stays valid after the call even
// if another thread removes it from the table meanwhile.

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "nat/nat_clock.h"
#include "nat/nat_entries.h"
#include "nat/translation_index.h"
#include "net/ip_address.h"

namespace nat {

class icmp_nat_table {
public:
    static constexpr std::uint16_t first_external_id = 0;
    static constexpr std::uint16_t last_external_id = 65535;
    static constexpr std::uint32_t no_client_limit = std::numeric_limits<std::uint32_t>::max();

    explicit icmp_nat_table(std::shared_ptr<const nat_clock> clock = system_nat_clock());
    // A table that allocates from first_id..last_id only: lets tests exhaust the identifiers.
    icmp_nat_table(std::shared_ptr<const nat_clock> clock, std::uint16_t first_id, std::uint16_t last_id);

    icmp_nat_table(const icmp_nat_table&) = delete;
    icmp_nat_table& operator=(const icmp_nat_table&) = delete;

    net::ip_address_v4 external_address() const noexcept { return external_address_.load(); }
    void set_external_address(net::ip_address_v4 address) noexcept { external_address_.store(address); }

    // Entries one client address may hold (at least 1; no_client_limit for none).
    std::uint32_t max_entries_per_client() const;
    void set_max_entries_per_client(std::uint32_t entries);

    // A new entry with a newly chosen external identifier; there is no reuse of an earlier
    // entry (a client at its share loses its oldest entry first). Empty when every identifier
    // is already used towards `remote_address`, whose replies could not be told apart.
    std::shared_ptr<const icmp_nat_entry> create_mapping(net::ip_address_v4 client_address,
                                                         net::ip_address_v4 remote_address, std::uint16_t client_id);

    // The entry with this external identifier towards `remote_address` (there is at most one);
    // empty when none.
    std::shared_ptr<const icmp_nat_entry> find_reply(std::uint16_t external_id, net::ip_address_v4 remote_address) const;

    void clear();

    std::size_t size() const;
    // Every entry, by external identifier and oldest first under each (tests, diagnostics).
    std::vector<std::shared_ptr<const icmp_nat_entry>> entries() const;
    // Whether every index and the usage counts describe the same entries (tests).
    bool indexes_consistent() const;

private:
    using entry_ptr = std::shared_ptr<icmp_nat_entry>;

    void make_room_for_client_locked(net::ip_address_v4 client_address);
    bool evict_first_stale_locked(std::uint16_t external_id, std::int64_t now);

    const std::shared_ptr<const nat_clock> clock_;
    atomic_address_v4 external_address_;

    mutable std::mutex lock_;  // guards everything below
    translation_index<icmp_nat_entry> index_;
    std::uint32_t max_entries_per_client_;
};

}  // namespace nat
