// The tables choose ports and identifiers with an indexed search. Here a plain model that
// examines every candidate one by one, exactly as the allocation rule reads (and applies the
// per-client share by scanning every entry), runs the same long random sequences of creations,
// lookups, clock steps and clears; every result and the whole table state must agree after
// each step.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "nat/icmp_nat_table.h"
#include "nat/port_nat_table.h"

namespace {

using net::ip_address_v4;

struct model_entry {
    ip_address_v4 client;
    std::uint16_t client_port = 0;  // the client identifier for ICMP
    ip_address_v4 remote;
    std::uint16_t remote_port = 0;  // unused for ICMP
    std::uint16_t external = 0;
    std::int64_t last_activity = 0;
    std::uint64_t recency = 0;  // order of the last change of last_activity: the client's share evicts the lowest
};

bool stale(const model_entry& e, std::int64_t now) { return now - e.last_activity > 600; }

// Entries per external port, oldest first; the literal search over them.
class model_table {
public:
    model_table(std::uint16_t first, std::uint16_t last, bool icmp, std::uint32_t share)
        : first_(first), last_(last), icmp_(icmp), share_(share)
    {
    }

    std::map<std::uint16_t, std::vector<model_entry>> by_port;

    std::size_t count(std::uint32_t port) const
    {
        const auto it = by_port.find(static_cast<std::uint16_t>(port));
        return it == by_port.end() ? 0 : it->second.size();
    }

    model_entry* find_outgoing(const model_entry& key, std::int64_t now)
    {
        for (auto& [port, list] : by_port) {
            for (model_entry& e : list) {
                if (e.client == key.client && e.client_port == key.client_port && e.remote == key.remote &&
                    e.remote_port == key.remote_port) {
                    if (e.last_activity != now)
                        e.recency = ++sequence_;
                    e.last_activity = now;
                    return &e;
                }
            }
        }
        return nullptr;
    }

    const model_entry* find_incoming(std::uint16_t port, ip_address_v4 remote, std::uint16_t remote_port) const
    {
        const auto it = by_port.find(port);
        if (it == by_port.end())
            return nullptr;
        for (const model_entry& e : it->second) {
            if (e.remote == remote && (icmp_ || e.remote_port == remote_port))
                return &e;
        }
        return nullptr;
    }

    std::optional<std::uint16_t> create(model_entry e, std::int64_t now)
    {
        if (!icmp_ && ++creations_ > 10) {
            creations_ = 0;
            // Walk from the beginning; at the first stale entry remove it and start again.
            for (bool removed = true; removed;) {
                removed = false;
                for (auto it = by_port.begin(); it != by_port.end() && !removed; ++it) {
                    for (auto e_it = it->second.begin(); e_it != it->second.end(); ++e_it) {
                        if (stale(*e_it, now)) {
                            erase(it->first, e_it);
                            removed = true;
                            break;
                        }
                    }
                }
            }
        }
        if (!room_for_client(e.client, now))
            return std::nullopt;
        std::uint32_t best = first_;
        std::size_t best_count = count(best);
        if (best_count != 0) {
            for (std::uint32_t candidate = first_ + 1u; candidate <= last_; ++candidate) {
                if (evict_first_stale(static_cast<std::uint16_t>(best), now)) {
                    best_count = count(best);
                    if (best_count == 0)
                        break;
                }
                const std::size_t c = count(candidate);
                if (c < best_count) {
                    best = candidate;
                    best_count = c;
                }
                if (best_count == 0)
                    break;
            }
        }
        if (serves(best, e)) {
            std::optional<std::uint32_t> chosen;
            std::size_t chosen_count = std::numeric_limits<std::size_t>::max();
            for (std::uint32_t p = first_; p <= last_; ++p) {
                if (count(p) < chosen_count && !serves(p, e)) {
                    chosen = p;
                    chosen_count = count(p);
                }
            }
            if (!chosen)
                return std::nullopt;
            best = *chosen;
        }
        e.external = static_cast<std::uint16_t>(best);
        e.last_activity = now;
        e.recency = ++sequence_;
        by_port[e.external].push_back(e);
        return e.external;
    }

    void clear() { by_port.clear(); }

private:
    // At its share, the client's least recently active entry gives way (the share is fixed
    // for a run, so one entry is enough).
    bool room_for_client(ip_address_v4 client, std::int64_t)
    {
        std::size_t held = 0;
        std::uint16_t least_port = 0;
        std::size_t least_index = 0;
        const model_entry* least = nullptr;
        for (auto& [port, list] : by_port) {
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (!(list[i].client == client))
                    continue;
                ++held;
                if (least == nullptr || list[i].recency < least->recency) {
                    least = &list[i];
                    least_port = port;
                    least_index = i;
                }
            }
        }
        if (held >= share_ && least != nullptr)
            erase(least_port, by_port[least_port].begin() + static_cast<std::ptrdiff_t>(least_index));
        return true;
    }

    bool serves(std::uint32_t port, const model_entry& e) const
    {
        return find_incoming(static_cast<std::uint16_t>(port), e.remote, e.remote_port) != nullptr;
    }

    bool evict_first_stale(std::uint16_t port, std::int64_t now)
    {
        const auto it = by_port.find(port);
        if (it == by_port.end())
            return false;
        for (auto e_it = it->second.begin(); e_it != it->second.end(); ++e_it) {
            if (stale(*e_it, now)) {
                erase(port, e_it);
                return true;
            }
        }
        return false;
    }

    void erase(std::uint16_t port, std::vector<model_entry>::iterator e_it)
    {
        auto& list = by_port[port];
        list.erase(e_it);
        if (list.empty())
            by_port.erase(port);
    }

    std::uint16_t first_, last_;
    bool icmp_;
    std::uint32_t share_;
    std::uint32_t creations_ = 0;
    std::uint64_t sequence_ = 0;
};

struct config {
    const char* name;
    std::uint16_t first, last;
    int clients, client_ports, remotes, remote_ports;  // pools the random flows are drawn from
    int steps;
    int compare_every;
};

// Random flow from the pools; small pools make repeats (hits) and shared ports likely.
model_entry random_flow(std::mt19937& rng, const config& c)
{
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    model_entry e;
    e.client = ip_address_v4{10, 66, 0, static_cast<std::uint8_t>(2 + pick(c.clients))};
    e.client_port = static_cast<std::uint16_t>(40000 + pick(c.client_ports));
    e.remote = ip_address_v4{203, 0, 113, static_cast<std::uint8_t>(1 + pick(c.remotes))};
    e.remote_port = static_cast<std::uint16_t>(1 + pick(c.remote_ports));
    return e;
}

std::int64_t random_step(std::mt19937& rng)
{
    const unsigned r = rng() % 100;
    if (r < 60)
        return rng() % 20;
    if (r < 90)
        return rng() % 200;
    return 400 + rng() % 400;  // around the idle timeout
}

template <typename Entry>
void expect_same(const model_entry* expected, const std::shared_ptr<const Entry>& actual);

template <>
void expect_same(const model_entry* expected, const std::shared_ptr<const nat::port_nat_entry>& actual)
{
    ASSERT_EQ(expected == nullptr, actual == nullptr);
    if (expected == nullptr)
        return;
    EXPECT_EQ(actual->client_address, expected->client);
    EXPECT_EQ(actual->client_port, expected->client_port);
    EXPECT_EQ(actual->remote_address, expected->remote);
    EXPECT_EQ(actual->remote_port, expected->remote_port);
    EXPECT_EQ(actual->external_port, expected->external);
    EXPECT_EQ(actual->last_activity.load(), expected->last_activity);
}

template <>
void expect_same(const model_entry* expected, const std::shared_ptr<const nat::icmp_nat_entry>& actual)
{
    ASSERT_EQ(expected == nullptr, actual == nullptr);
    if (expected == nullptr)
        return;
    EXPECT_EQ(actual->client_address, expected->client);
    EXPECT_EQ(actual->client_id, expected->client_port);
    EXPECT_EQ(actual->remote_address, expected->remote);
    EXPECT_EQ(actual->external_id, expected->external);
    EXPECT_EQ(actual->last_activity, expected->last_activity);
}

template <typename Table>
void expect_same_state(const model_table& model, const Table& table)
{
    ASSERT_TRUE(table.indexes_consistent());
    const auto actual = table.entries();
    std::size_t i = 0;
    for (const auto& [port, list] : model.by_port) {
        for (const model_entry& e : list) {
            ASSERT_LT(i, actual.size());
            expect_same(&e, actual[i++]);
            if (testing::Test::HasFailure())
                return;
        }
    }
    EXPECT_EQ(i, actual.size());
}

const config port_configs[] = {
    {"8 ports, heavy sharing", 10000, 10007, 3, 6, 3, 4, 8000, 2},
    {"61 ports, odd size", 10000, 10060, 4, 16, 4, 4, 8000, 4},
    {"1024 ports", 10000, 11023, 6, 64, 8, 8, 8000, 32},
    {"the full range", nat::port_nat_table::first_external_port, nat::port_nat_table::last_external_port, 8, 64, 8,
     8, 4000, 128},
};

TEST(nat_allocation_differential, port_table_matches_the_candidate_by_candidate_search)
{
    for (const config& c : port_configs) {
        SCOPED_TRACE(c.name);
        for (const std::uint32_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(seed);
            std::mt19937 rng(seed);
            auto clock = std::make_shared<nat::manual_nat_clock>();
            nat::port_nat_table table(clock, c.first, c.last);
            // Seed 3 keeps the default share (a quarter of the range) and the model applies it.
            const std::uint32_t share =
                seed == 3 ? table.max_entries_per_client() : nat::port_nat_table::no_client_limit;
            table.set_max_entries_per_client(share);
            model_table model(c.first, c.last, false, share);
            for (int step = 0; step < c.steps && !HasFailure(); ++step) {
                const std::int64_t now = clock->now_seconds();
                const unsigned op = rng() % 100;
                model_entry flow = random_flow(rng, c);
                if (op < 55) {
                    auto actual = table.find_or_create(flow.client, flow.client_port, flow.remote, flow.remote_port);
                    if (const model_entry* hit = model.find_outgoing(flow, now)) {
                        expect_same(hit, actual);
                    } else {
                        const auto port = model.create(flow, now);
                        ASSERT_EQ(port.has_value(), actual != nullptr) << "step " << step;
                        if (port) {
                            EXPECT_EQ(actual->external_port, *port) << "step " << step;
                        }
                    }
                } else if (op < 70) {
                    expect_same(model.find_outgoing(flow, now),
                                table.find_outgoing(flow.client, flow.client_port, flow.remote, flow.remote_port));
                } else if (op < 85) {
                    const auto port = static_cast<std::uint16_t>(c.first + rng() % (c.last - c.first + 1u));
                    expect_same(model.find_incoming(port, flow.remote, flow.remote_port),
                                table.find_incoming(port, flow.remote, flow.remote_port));
                } else if (op < 99 || rng() % 4 != 0) {
                    clock->advance(random_step(rng));
                } else {
                    model.clear();
                    table.clear();
                }
                if (step % c.compare_every == 0)
                    expect_same_state(model, table);
            }
            expect_same_state(model, table);
        }
    }
}

const config icmp_configs[] = {
    {"8 identifiers", 0, 7, 3, 4, 3, 1, 8000, 2},
    {"100 identifiers", 0, 99, 4, 8, 6, 1, 8000, 8},
    {"the full range", nat::icmp_nat_table::first_external_id, nat::icmp_nat_table::last_external_id, 8, 64, 8, 1,
     2500, 128},
};

TEST(nat_allocation_differential, icmp_table_matches_the_candidate_by_candidate_search)
{
    for (const config& c : icmp_configs) {
        SCOPED_TRACE(c.name);
        for (const std::uint32_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(seed);
            std::mt19937 rng(seed);
            auto clock = std::make_shared<nat::manual_nat_clock>();
            nat::icmp_nat_table table(clock, c.first, c.last);
            const std::uint32_t share =
                seed == 3 ? table.max_entries_per_client() : nat::icmp_nat_table::no_client_limit;
            table.set_max_entries_per_client(share);
            model_table model(c.first, c.last, true, share);
            for (int step = 0; step < c.steps && !HasFailure(); ++step) {
                const std::int64_t now = clock->now_seconds();
                const unsigned op = rng() % 100;
                model_entry flow = random_flow(rng, c);
                flow.remote_port = 0;
                if (op < 60) {
                    auto actual = table.create_mapping(flow.client, flow.remote, flow.client_port);
                    const auto id = model.create(flow, now);
                    ASSERT_EQ(id.has_value(), actual != nullptr) << "step " << step;
                    if (id) {
                        EXPECT_EQ(actual->external_id, *id) << "step " << step;
                    }
                } else if (op < 80) {
                    const auto id = static_cast<std::uint16_t>(c.first + rng() % (c.last - c.first + 1u));
                    expect_same(model.find_incoming(id, flow.remote, 0), table.find_reply(id, flow.remote));
                } else if (op < 99 || rng() % 4 != 0) {
                    clock->advance(random_step(rng));
                } else {
                    model.clear();
                    table.clear();
                }
                if (step % c.compare_every == 0)
                    expect_same_state(model, table);
            }
            expect_same_state(model, table);
        }
    }
}

}  // namespace
