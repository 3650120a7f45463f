#pragma once
// Choice of the external port (or ICMP identifier) for a new entry.
//
// The rule, over the range first..last: start with best = first. Before examining each further
// candidate in ascending order, evict the first stale entry under best, if any (and take best at
// once if that leaves it unused); then a candidate with strictly fewer entries than best becomes
// best. Stop as soon as best is unused, or after the last candidate. In effect this takes the
// lowest unused port, and when every port is used the lowest of the least-shared ones; stale
// entries are only reclaimed from whichever port is best at the time.
//
// Examining every candidate costs one count per port: tens of thousands of lookups per new flow
// once the low ports are taken. This produces the same choice, and the same evictions, with
// `usage` answering "next port with fewer than n entries" in O(log n): the only steps that
// change anything are evictions from best, and those are taken one candidate at a time
// exactly as the rule has them; between them, a run of candidates that cannot beat best is
// skipped in one query.

#include <cstdint>
#include <limits>
#include <optional>

#include "nat/port_usage_index.h"

namespace nat {

// `evict_first_stale(port)` removes the first stale entry under `port` (updating `usage`) and
// returns whether there was one. Called with the table lock held.
template <typename EvictFirstStale>
std::uint16_t least_used_search(const port_usage_index& usage, EvictFirstStale&& evict_first_stale)
{
    std::uint16_t best = usage.first();
    std::uint32_t best_count = usage.count(best);
    std::uint32_t candidate = std::uint32_t{best} + 1;
    bool best_may_hold_stale = true;

    while (best_count != 0 && candidate <= usage.last()) {
        if (best_may_hold_stale) {
            if (evict_first_stale(best)) {
                best_count = usage.count(best);
                if (best_count == 0)
                    break;
                const std::uint32_t candidate_count = usage.count(static_cast<std::uint16_t>(candidate));
                if (candidate_count < best_count) {
                    best = static_cast<std::uint16_t>(candidate);
                    best_count = candidate_count;
                }
                ++candidate;
                continue;
            }
            // Nothing under best is stale, and within one search nothing becomes stale.
            best_may_hold_stale = false;
        }
        const auto better = usage.first_below(candidate, best_count);
        if (!better)
            break;  // no remaining candidate beats best
        best = *better;
        best_count = usage.count(best);
        best_may_hold_stale = true;
        candidate = std::uint32_t{best} + 1;
    }
    return best;
}

// The lowest of the least-used ports for which `excluded(port)` is false; empty when it is true
// for every port. One pass upwards: each step asks for the next port that would beat the best
// so far, so the cost is O(log n) per excluded port met on the way rather than one count per
// port of the range.
template <typename Excluded>
std::optional<std::uint16_t> least_used_excluding(const port_usage_index& usage, Excluded&& excluded)
{
    std::optional<std::uint16_t> chosen;
    std::uint32_t limit = std::numeric_limits<std::uint32_t>::max();  // a port must have fewer to beat chosen
    std::uint32_t from = usage.first();
    // Every port below `from` with fewer than `limit` entries is excluded: lowering the limit
    // keeps that true, so the pass never needs to start over.
    while (const auto port = usage.first_below(from, limit)) {
        if (!excluded(*port)) {
            chosen = *port;
            limit = usage.count(*port);
        }
        from = std::uint32_t{*port} + 1;
    }
    return chosen;
}

}  // namespace nat
