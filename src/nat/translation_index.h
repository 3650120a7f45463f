#pragma once
// The indexes both translation tables keep over their entries (the port table adds its
// four-tuple index and idle order on top):
//  - the reply index, by external key (port or ICMP identifier) and remote endpoint. Unique:
//    the allocation never puts two entries towards the same remote endpoint on one external
//    key, because their replies could not be told apart. It owns the entries.
//  - per external key, an intrusive list in creation order (eviction takes the oldest stale one
//    first), with the usage counts that the allocation searches.
//  - per client address, an intrusive list and its length: the per-client share.
//  - per remote endpoint, the number of entries towards it, which is the number of external
//    keys serving it: "every key already serves it" is answered without a search.
// Every entry is in all of them or in none. Lookup, insertion and removal are hash lookups and
// list links whatever the number of entries per client, endpoint or port.
//
// Owned by one table and guarded by its lock.

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "nat/intrusive_list.h"
#include "nat/least_used_search.h"
#include "nat/nat_entries.h"
#include "nat/open_hash_map.h"
#include "nat/port_usage_index.h"
#include "net/endpoint_key.h"

namespace nat {

inline std::uint16_t external_key_of(const port_nat_entry& e) noexcept { return e.external_port; }
inline std::uint16_t external_key_of(const icmp_nat_entry& e) noexcept { return e.external_id; }
// ICMP replies are matched by source address alone: its remote endpoint has port 0.
inline net::endpoint_key remote_key_of(const port_nat_entry& e) noexcept { return {e.remote_address, e.remote_port}; }
inline net::endpoint_key remote_key_of(const icmp_nat_entry& e) noexcept { return {e.remote_address, 0}; }

// The default share of one client address: a quarter of the range, so that no client can
// starve the rest, while a few busy clients together still use every key.
inline std::uint32_t default_client_share(std::uint16_t first, std::uint16_t last) noexcept
{
    const std::uint32_t keys = last >= first ? std::uint32_t{last} - first + 1 : 1;
    return keys / 4 > 0 ? keys / 4 : 1;
}

template <class Entry>
class translation_index {
public:
    using entry_ptr = std::shared_ptr<Entry>;
    using external_list = intrusive_list<Entry, &Entry::external_link_>;
    using client_list = intrusive_list<Entry, &Entry::client_link_>;

    translation_index(std::uint16_t first, std::uint16_t last)
        : usage_(first, last), by_external_(std::size_t{usage_.last()} - usage_.first() + 1)
    {
    }

    std::size_t size() const noexcept { return by_reply_.size(); }
    const port_usage_index& usage() const noexcept { return usage_; }
    std::uint32_t key_count() const noexcept { return static_cast<std::uint32_t>(by_external_.size()); }

    // The entry on `external` towards `remote`; nullptr when none.
    const entry_ptr* find_reply(std::uint16_t external, const net::endpoint_key& remote) const
    {
        return by_reply_.find(reply_key(external, remote));
    }

    std::uint32_t client_count(net::ip_address_v4 client) const
    {
        const client_list* list = by_client_.find(client);
        return list == nullptr ? 0 : static_cast<std::uint32_t>(list->size());
    }

    // The client's entry that has been idle longest (oldest first for entries that are never
    // refreshed); nullptr when the client has none.
    Entry* least_recent_of_client(net::ip_address_v4 client) const
    {
        const client_list* list = by_client_.find(client);
        return list == nullptr ? nullptr : list->front();
    }

    // The entries under one external key, oldest first: first_under, then next_under.
    Entry* first_under(std::uint16_t external) const { return list_of(external).front(); }
    static Entry* next_under(const Entry& entry) noexcept { return external_list::next(entry); }

    // The external key for a new entry towards `remote`: the least-used one (evicting stale
    // entries on the way, see least_used_search), or if that one already serves `remote`, the
    // least-used one that does not. Empty when every key serves `remote`.
    template <typename EvictFirstStale>
    std::optional<std::uint16_t> choose_external(const net::endpoint_key& remote, EvictFirstStale&& evict_first_stale)
    {
        const std::uint16_t key = least_used_search(usage_, evict_first_stale);
        if (find_reply(key, remote) == nullptr)
            return key;
        const std::uint32_t* serving = remote_counts_.find(remote);
        if (serving != nullptr && *serving >= key_count())
            return std::nullopt;
        return least_used_excluding(usage_, [&](std::uint16_t k) { return find_reply(k, remote) != nullptr; });
    }

    // `entry` must not serve a remote endpoint already served on its external key.
    void insert(entry_ptr entry)
    {
        Entry& e = *entry;
        const std::uint16_t external = external_key_of(e);
        by_reply_.insert(reply_key(external, remote_key_of(e)), std::move(entry));
        ++remote_counts_.find_or_insert(remote_key_of(e));
        by_client_.find_or_insert(e.client_address).push_back(e);
        list_of(external).push_back(e);
        usage_.increment(external);
    }

    // Takes `entry` out of every index and hands back the table's reference to it.
    entry_ptr remove(Entry& entry)
    {
        const std::uint16_t external = external_key_of(entry);
        const net::endpoint_key remote = remote_key_of(entry);
        list_of(external).remove(entry);
        usage_.decrement(external);
        client_list* client = by_client_.find(entry.client_address);
        client->remove(entry);
        if (client->empty())
            by_client_.erase(entry.client_address);
        std::uint32_t* count = remote_counts_.find(remote);
        if (--*count == 0)
            remote_counts_.erase(remote);
        const std::uint64_t key = reply_key(external, remote);
        entry_ptr owned = std::move(*by_reply_.find(key));
        by_reply_.erase(key);
        return owned;
    }

    // The client used `entry` again: it becomes the client's most recent.
    void note_client_activity(Entry& entry) { by_client_.find(entry.client_address)->move_to_back(entry); }

    void clear()
    {
        for (external_list& list : by_external_)
            list = external_list{};
        usage_.reset();
        by_client_.clear();
        remote_counts_.clear();
        by_reply_.clear();
    }

    // By external key, oldest first under each.
    template <typename Function>
    void for_each_in_external_order(Function&& function) const
    {
        for (const external_list& list : by_external_) {
            for (Entry* e = list.front(); e != nullptr; e = external_list::next(*e))
                function(*find_reply(external_key_of(*e), remote_key_of(*e)));
        }
    }

    // Whether every index holds exactly the entries of the reply index, each under its own keys.
    bool consistent() const
    {
        std::unordered_set<const Entry*> listed;
        std::unordered_map<net::endpoint_key, std::uint32_t, net::fnv1a_hash> remotes;
        bool ok = true;
        for (std::size_t i = 0; i < by_external_.size(); ++i) {
            const auto key = static_cast<std::uint16_t>(usage_.first() + i);
            std::size_t length = 0;
            for (Entry* e = by_external_[i].front(); e != nullptr; e = external_list::next(*e), ++length) {
                const entry_ptr* owner = find_reply(key, remote_key_of(*e));
                ok = ok && external_key_of(*e) == key && owner != nullptr && owner->get() == e &&
                     listed.insert(e).second;
                ++remotes[remote_key_of(*e)];
            }
            ok = ok && length == by_external_[i].size() && usage_.count(key) == length;
        }
        std::size_t clients_total = 0;
        by_client_.for_each([&](net::ip_address_v4 client, const client_list& list) {
            std::size_t length = 0;
            for (Entry* e = list.front(); e != nullptr; e = client_list::next(*e), ++length)
                ok = ok && e->client_address == client && listed.count(e) == 1;
            ok = ok && length == list.size() && length != 0;
            clients_total += length;
        });
        ok = ok && remotes.size() == remote_counts_.size();
        remote_counts_.for_each([&](const net::endpoint_key& remote, std::uint32_t count) {
            const auto it = remotes.find(remote);
            ok = ok && it != remotes.end() && it->second == count;
        });
        return ok && listed.size() == by_reply_.size() && clients_total == by_reply_.size();
    }

private:
    struct reply_key_hash {
        std::size_t operator()(std::uint64_t key) const noexcept
        {
            return static_cast<std::size_t>(net::fnv1a_u64(key));
        }
    };
    using reply_map = open_hash_map<std::uint64_t, entry_ptr, reply_key_hash>;

    // External key, remote port and remote address packed into one hash key.
    static std::uint64_t reply_key(std::uint16_t external, const net::endpoint_key& remote) noexcept
    {
        return std::uint64_t{external} | std::uint64_t{remote.port} << 16 | std::uint64_t{remote.address.raw()} << 32;
    }

    external_list& list_of(std::uint16_t external) { return by_external_[external - usage_.first()]; }
    const external_list& list_of(std::uint16_t external) const { return by_external_[external - usage_.first()]; }

    port_usage_index usage_;                   // entries per external key: the length of each list below
    std::vector<external_list> by_external_;   // indexed by external key - first
    reply_map by_reply_;
    open_hash_map<net::ip_address_v4, client_list, net::fnv1a_hash> by_client_;
    open_hash_map<net::endpoint_key, std::uint32_t, net::fnv1a_hash> remote_counts_;
};

}  // namespace nat
