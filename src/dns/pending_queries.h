#pragma once
// The client queries the forwarder waits on. A query is sent under one transaction id per
// family of servers (IPv4, IPv6) to every server of that family, and is forgotten when the
// first answer is delivered, when every server it went to has declined it, when it expires,
// or when the server lists are rebuilt.
//
// An outsider who can make the forwarder send (any VPN client) or answer it (anyone who can
// reach its sockets) must not be able to grow this table or steer an answer to the wrong
// client, so:
// - ids are unpredictable (the system's CSPRNG) and never one a waiting query still holds,
//   in its family; an id is free again only once its query is gone;
// - a query expires after `timeout` (a stub resolver has given up on it by then);
// - the table holds at most `max_queries`, and one client address at most
//   `max_queries_per_client`, so a flooding client cannot crowd out the others.
//
// Not thread-safe: the forwarder guards it with its lock.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <unordered_map>
#include <vector>

#include "dns/dns_reply_frame.h"
#include "tarnwell/control_interface.h"

namespace dns {

enum class server_family : std::uint8_t { ipv4 = 0, ipv6 = 1 };
inline constexpr std::size_t family_count = 2;

using dns_clock = std::function<std::chrono::steady_clock::time_point()>;
// Fills the bytes it is given from a CSPRNG; false when it cannot.
using random_source = std::function<bool(void*, std::size_t)>;

struct pending_limits {
    std::size_t max_queries = 4096;
    std::size_t max_queries_per_client = 256;
    std::chrono::milliseconds timeout{5000};
};

struct pending_query {
    std::uint64_t adapter_handle = 0;
    tarnwell::INTERMEDIATE_BUFFER buffer;  // the client's frame as it arrived
    message_span message;                  // the query's DNS message in that frame
    std::uint16_t client_id = 0;           // the id the client chose, restored in the reply
    std::uint32_t client_address = 0;      // the frame's source address, as stored
    std::chrono::steady_clock::time_point expires;
    std::array<std::uint16_t, family_count> ids{};
    std::array<bool, family_count> has_id{};
    // Per family, the indices (in the forwarder's server list) of the servers that were sent
    // the query and have not answered it.
    std::array<std::vector<std::uint32_t>, family_count> awaiting;

    bool awaits_anyone() const { return !awaiting[0].empty() || !awaiting[1].empty(); }
    // Removes `server` from the family's list; false when it was not awaited there.
    bool stop_awaiting(server_family family, std::uint32_t server);
};

class pending_queries {
public:
    enum class refusal { none, table_full, client_full, no_random_id };

    explicit pending_queries(pending_limits limits = {}, dns_clock clock = &std::chrono::steady_clock::now,
                             random_source random = {});

    // A new query of `client_address`, expiring `timeout` from now, with no ids yet; null
    // (and `why`) when a limit refuses it. Expired queries are dropped first.
    pending_query* add(std::uint64_t adapter_handle, const tarnwell::INTERMEDIATE_BUFFER& buffer,
                       const message_span& message, std::uint32_t client_address, refusal& why);
    // Gives `query` an id of `family` that no other waiting query of that family holds.
    bool assign_id(pending_query& query, server_family family);
    // The waiting query that holds `id` in `family`, or null.
    pending_query* find(server_family family, std::uint16_t id);
    void remove(pending_query* query);
    // Drops the queries whose time has passed; returns how many.
    std::size_t expire();
    void clear();

    std::size_t size() const { return queries_.size(); }
    std::size_t ids_held(server_family family) const { return by_id_[static_cast<std::size_t>(family)].size(); }
    const pending_limits& limits() const { return limits_; }

private:
    using query_list = std::list<pending_query>;
    bool next_random_id(std::uint16_t& id);
    void forget(query_list::iterator it);

    pending_limits limits_;
    dns_clock clock_;
    random_source random_;
    // In arrival order, which is expiry order: the timeout is the same for all.
    query_list queries_;
    std::array<std::unordered_map<std::uint16_t, query_list::iterator>, family_count> by_id_;
    std::unordered_map<std::uint32_t, std::size_t> per_client_;
    // Random ids drawn in batches: one system call per 64 ids.
    std::array<std::uint16_t, 64> random_ids_{};
    std::size_t random_used_ = 64;  // all used: the first draw fills the batch
};

}  // namespace dns
