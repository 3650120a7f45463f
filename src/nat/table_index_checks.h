#pragma once
// What the port and ICMP tables share beyond their search: listing their entries in
// external-key order, and checking that their two indexes and the usage index describe the
// same entries (tests call it after concurrent and randomized runs). Both are called with
// the table's lock held.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "nat/ordered_multimap.h"
#include "nat/port_usage_index.h"

namespace nat {

template <class Entry>
using external_index = ordered_multimap<std::uint16_t, std::shared_ptr<Entry>>;

// Stable: keeps the index order (oldest first) under each external key.
template <class Entry>
std::vector<std::shared_ptr<const Entry>> entries_by_external_key(const external_index<Entry>& by_external,
                                                                   const std::uint16_t Entry::*external)
{
    std::vector<std::shared_ptr<const Entry>> all;
    all.reserve(by_external.size());
    by_external.for_each_key([&](std::uint16_t, const std::vector<std::shared_ptr<Entry>>& list) {
        all.insert(all.end(), list.begin(), list.end());
    });
    std::stable_sort(all.begin(), all.end(),
                     [external](const auto& a, const auto& b) { return (*a).*external < (*b).*external; });
    return all;
}

// Every entry sits once in each index under its own keys, and the usage index counts
// exactly the entries under each external key.
template <class Entry, class ClientKey, class ClientKeyOf>
bool indexes_agree(const ordered_multimap<ClientKey, std::shared_ptr<Entry>>& by_client,
                   const external_index<Entry>& by_external, const std::uint16_t Entry::*external,
                   ClientKeyOf client_key_of, const port_usage_index& usage)
{
    if (by_client.size() != by_external.size())
        return false;
    std::unordered_set<const void*> seen;
    bool ok = true;
    by_client.for_each_key([&](const ClientKey& key, const std::vector<std::shared_ptr<Entry>>& list) {
        for (const auto& entry : list) {
            if (!seen.insert(entry.get()).second || !(key == client_key_of(*entry)))
                ok = false;
        }
    });
    std::size_t counted = 0;
    by_external.for_each_key([&](std::uint16_t key, const std::vector<std::shared_ptr<Entry>>& list) {
        counted += list.size();
        if (key < usage.first() || key > usage.last() || usage.count(key) != list.size())
            ok = false;
        for (const auto& entry : list) {
            if ((*entry).*external != key || seen.find(entry.get()) == seen.end())
                ok = false;
        }
    });
    std::size_t usage_total = 0;
    for (std::uint32_t key = usage.first(); key <= usage.last(); ++key)
        usage_total += usage.count(static_cast<std::uint16_t>(key));
    return ok && counted == by_external.size() && usage_total == counted;
}

}  // namespace nat
