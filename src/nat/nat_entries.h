#pragma once
// Translation entries of the TCP/UDP and ICMP tables. An entry is created by its table, held by
// the table's indexes and by any packet callback that is rewriting a packet with it, so it
// outlives its removal from the table for as long as a callback still uses it. The list links
// and the idle position belong to the table and are used only under its lock.
//
// Fields that identify the flow never change after creation. The two fields the table updates
// on later packets (`external_address`, `last_activity`) are atomics: the table writes them under
// its lock while a callback on the other adapter thread may be reading the same entry.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>

#include "nat/intrusive_list.h"
#include "net/ip_address.h"

namespace nat {

// An entry idle for more than this many seconds is stale and may be reclaimed (600 itself is not).
inline constexpr std::int64_t nat_idle_timeout_seconds = 600;

// An ip_address_v4 that one thread may store while another loads it.
class atomic_address_v4 {
public:
    explicit atomic_address_v4(net::ip_address_v4 address = {}) noexcept : raw_(address.raw()) {}

    net::ip_address_v4 load() const noexcept
    {
        const std::uint32_t raw = raw_.load(std::memory_order_relaxed);
        net::ip_address_v4 address;
        static_assert(sizeof raw == sizeof address.octets);
        std::memcpy(address.octets, &raw, sizeof raw);
        return address;
    }
    void store(net::ip_address_v4 address) noexcept { raw_.store(address.raw(), std::memory_order_relaxed); }

private:
    std::atomic<std::uint32_t> raw_;  // the four octets as they lie in memory
};

class port_nat_table;
template <class Entry>
class translation_index;

// One TCP or UDP flow of a VPN client. Ports are in host byte order.
struct port_nat_entry {
    // The table's index of its entries by last_activity, oldest first.
    using idle_order = std::multimap<std::int64_t, port_nat_entry*>;

    port_nat_entry(net::ip_address_v4 client_addr, std::uint16_t client_prt, net::ip_address_v4 remote_addr,
                   std::uint16_t remote_prt, net::ip_address_v4 external_addr, std::uint16_t external_prt,
                   std::int64_t now) noexcept
        : client_address(client_addr),
          remote_address(remote_addr),
          external_address(external_addr),
          last_activity(now),
          client_port(client_prt),
          remote_port(remote_prt),
          external_port(external_prt)
    {
    }
    port_nat_entry(const port_nat_entry&) = delete;
    port_nat_entry& operator=(const port_nat_entry&) = delete;

    const net::ip_address_v4 client_address;
    const net::ip_address_v4 remote_address;
    atomic_address_v4 external_address;      // refreshed from the table on every find_or_create hit
    std::atomic<std::int64_t> last_activity;  // wall-clock second of the last client-side use
    const std::uint16_t client_port;
    const std::uint16_t remote_port;
    const std::uint16_t external_port;

private:
    friend class port_nat_table;
    friend class translation_index<port_nat_entry>;
    // Valid while the entry is in a table; under its lock. Read by nobody once it has left.
    idle_order::iterator idle_position_;
    list_hook<port_nat_entry> external_link_;  // the entries on the same external port
    list_hook<port_nat_entry> client_link_;    // the same client address's entries, least recently used first
};

// One ICMP message exchange of a VPN client. Identifiers are in host byte order.
struct icmp_nat_entry {
    icmp_nat_entry(net::ip_address_v4 client_addr, net::ip_address_v4 remote_addr, net::ip_address_v4 external_addr,
                   std::uint16_t client_ident, std::uint16_t external_ident, std::int64_t now) noexcept
        : client_address(client_addr),
          remote_address(remote_addr),
          external_address(external_addr),
          last_activity(now),
          client_id(client_ident),
          external_id(external_ident)
    {
    }
    icmp_nat_entry(const icmp_nat_entry&) = delete;
    icmp_nat_entry& operator=(const icmp_nat_entry&) = delete;

    const net::ip_address_v4 client_address;
    const net::ip_address_v4 remote_address;
    const net::ip_address_v4 external_address;
    const std::int64_t last_activity;  // creation second; ICMP entries are never refreshed
    const std::uint16_t client_id;
    const std::uint16_t external_id;

private:
    friend class translation_index<icmp_nat_entry>;
    // Under the table's lock while the entry is in it; read by nobody once it has left.
    list_hook<icmp_nat_entry> external_link_;  // the entries on the same external identifier
    list_hook<icmp_nat_entry> client_link_;    // the same client address's entries, oldest first
};

}  // namespace nat
