// Behaviour of the TCP/UDP translation table as the packet callbacks see it: port choice,
// idle expiry, the batched sweep, endpoint-dependent lookups and sharing on exhaustion.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "nat/port_nat_table.h"

namespace {

using nat::manual_nat_clock;
using nat::port_nat_table;
using net::ip_address_v4;

const ip_address_v4 client_a{10, 66, 0, 2};
const ip_address_v4 client_b{10, 66, 0, 3};
const ip_address_v4 remote_1{203, 0, 113, 1};
const ip_address_v4 remote_2{203, 0, 113, 2};
const ip_address_v4 remote_3{203, 0, 113, 3};

struct fixture {
    std::shared_ptr<manual_nat_clock> clock = std::make_shared<manual_nat_clock>();
    port_nat_table table{clock};
};

TEST(nat_port_table, new_flows_take_the_lowest_free_port_and_reclaim_it_after_601_idle_seconds)
{
    fixture f;
    EXPECT_EQ(f.table.find_or_create(client_a, 40000, remote_1, 443)->external_port, 10000);
    EXPECT_EQ(f.table.find_or_create(client_b, 40000, remote_2, 80)->external_port, 10001);
    EXPECT_EQ(f.table.find_or_create(client_a, 40001, remote_1, 443)->external_port, 10002);

    f.clock->advance(600);  // the flow on 10000 is idle for exactly 600 s: not stale yet
    EXPECT_EQ(f.table.find_or_create(client_a, 40002, remote_3, 53)->external_port, 10003);

    f.clock->advance(1);  // now 601 s: the next search evicts it and takes 10000 again
    const auto reused = f.table.find_or_create(client_b, 40009, remote_3, 53);
    EXPECT_EQ(reused->external_port, 10000);
    EXPECT_EQ(reused->client_address, client_b);
    EXPECT_EQ(f.table.find_incoming(10000, remote_1, 443), nullptr);
    EXPECT_EQ(f.table.find_outgoing(client_a, 40000, remote_1, 443), nullptr);
    // Stale flows on other ports are left to the sweep.
    EXPECT_EQ(f.table.size(), 4u);
    EXPECT_TRUE(f.table.indexes_consistent());
}

TEST(nat_port_table, staleness_is_strictly_more_than_600_seconds_of_client_inactivity)
{
    struct row {
        const char* what;
        std::int64_t idle;
        bool touch_from_outside_at_500;  // find_incoming must not keep the flow alive
        bool touch_from_client_at_500;   // find_outgoing must
        std::uint16_t next_port;         // 10000 when the first flow was evicted
    };
    const row rows[] = {
        {"600 s idle", 600, false, false, 10001},
        {"601 s idle", 601, false, false, 10000},
        {"reply traffic only", 601, true, false, 10000},
        {"client traffic at 500 s", 601, false, true, 10001},
        {"client traffic at 500 s, 1101 s later", 1101, false, true, 10000},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fixture f;
        f.table.find_or_create(client_a, 40000, remote_1, 443);
        f.clock->advance(500);
        if (r.touch_from_outside_at_500) {
            ASSERT_NE(f.table.find_incoming(10000, remote_1, 443), nullptr);
        }
        if (r.touch_from_client_at_500) {
            ASSERT_NE(f.table.find_outgoing(client_a, 40000, remote_1, 443), nullptr);
        }
        f.clock->advance(r.idle - 500);
        EXPECT_EQ(f.table.find_or_create(client_b, 50000, remote_2, 80)->external_port, r.next_port);
    }
}

TEST(nat_port_table, lookups_are_endpoint_dependent)
{
    fixture f;
    f.table.set_external_address({192, 0, 2, 7});
    const auto first = f.table.find_or_create(client_a, 40000, remote_1, 443);
    EXPECT_EQ(first->external_address.load(), (ip_address_v4{192, 0, 2, 7}));

    // Same four-tuple: the same entry, with the table's current external address.
    f.table.set_external_address({192, 0, 2, 8});
    EXPECT_EQ(f.table.find_or_create(client_a, 40000, remote_1, 443), first);
    EXPECT_EQ(first->external_address.load(), (ip_address_v4{192, 0, 2, 8}));
    EXPECT_EQ(f.table.find_outgoing(client_a, 40000, remote_1, 443), first);

    // Same client endpoint, another remote endpoint: an entry and a port of its own.
    const auto other_port = f.table.find_or_create(client_a, 40000, remote_1, 8443);
    const auto other_host = f.table.find_or_create(client_a, 40000, remote_2, 443);
    EXPECT_NE(other_port, first);
    EXPECT_EQ(other_port->external_port, 10001);
    EXPECT_EQ(other_host->external_port, 10002);

    // Replies must match external port and the whole remote endpoint.
    EXPECT_EQ(f.table.find_incoming(10000, remote_1, 443), first);
    EXPECT_EQ(f.table.find_incoming(10000, remote_1, 444), nullptr);
    EXPECT_EQ(f.table.find_incoming(10000, remote_2, 443), nullptr);
    EXPECT_EQ(f.table.find_incoming(10001, remote_1, 8443), other_port);
    EXPECT_EQ(f.table.find_outgoing(client_b, 40000, remote_1, 443), nullptr);

    // An entry handed out stays usable after the table lets go of it.
    f.table.clear();
    EXPECT_EQ(f.table.size(), 0u);
    EXPECT_EQ(first->client_port, 40000);
    EXPECT_EQ(f.table.find_or_create(client_b, 1, remote_3, 1)->external_port, 10000);
}

TEST(nat_port_table, the_eleventh_creation_sweeps_every_stale_entry_and_the_tenth_does_not)
{
    fixture f;
    // Creation 1 keeps port 10000 busy; creations 2-4 go stale on ports the search never evicts
    // from (it only reclaims from the port it currently prefers).
    f.table.find_or_create(client_a, 1000, remote_1, 80);
    for (std::uint16_t p = 1; p <= 3; ++p)
        f.table.find_or_create(client_b, p, remote_1, 80);
    f.clock->advance(601);
    ASSERT_NE(f.table.find_outgoing(client_a, 1000, remote_1, 80), nullptr);
    // A hit is not a creation and does not count towards the sweep.
    for (int i = 0; i < 5; ++i)
        f.table.find_or_create(client_a, 1000, remote_1, 80);

    for (std::uint16_t p = 5; p <= 10; ++p)  // creations 5..10
        f.table.find_or_create(client_a, p, remote_2, 80);
    EXPECT_EQ(f.table.size(), 10u);
    EXPECT_NE(f.table.find_incoming(10001, remote_1, 80), nullptr);

    const auto eleventh = f.table.find_or_create(client_a, 11, remote_2, 80);
    EXPECT_EQ(f.table.size(), 8u);
    EXPECT_EQ(f.table.find_incoming(10002, remote_1, 80), nullptr);
    EXPECT_EQ(f.table.find_incoming(10003, remote_1, 80), nullptr);
    EXPECT_EQ(eleventh->external_port, 10001);  // swept free before the search
    EXPECT_TRUE(f.table.indexes_consistent());
}

TEST(nat_port_table, ports_are_shared_only_when_all_55536_are_in_use)
{
    fixture f;
    f.table.set_max_entries_per_client(port_nat_table::no_client_limit);
    // Flows 0 and 1 go to remote_1:53, every other one to remote_2:53.
    for (std::uint32_t i = 0; i < 55536; ++i) {
        const auto e = f.table.find_or_create(client_a, static_cast<std::uint16_t>(i), i < 2 ? remote_1 : remote_2, 53);
        ASSERT_EQ(e->external_port, 10000 + i);
    }
    EXPECT_EQ(f.table.entries().back()->external_port, 65535);

    // A new remote: the lowest port with the fewest entries, shared.
    const auto shared = f.table.find_or_create(client_b, 1, remote_3, 53);
    EXPECT_EQ(shared->external_port, 10000);
    EXPECT_EQ(f.table.find_incoming(10000, remote_3, 53), shared);
    EXPECT_EQ(f.table.find_incoming(10000, remote_1, 53)->client_port, 0);  // the older flow keeps its replies

    // A flow whose replies would be indistinguishable from an existing flow's on the same port
    // must not share that port: 10001 already carries remote_1:53, 10002 is next.
    const auto second = f.table.find_or_create(client_b, 2, remote_1, 53);
    EXPECT_EQ(second->external_port, 10002);
    EXPECT_EQ(f.table.find_incoming(10002, remote_1, 53), second);
    EXPECT_EQ(f.table.find_incoming(10002, remote_2, 53)->client_port, 2);
    // remote_2 is on every port but 10000 and 10001; 10001 has fewer entries.
    EXPECT_EQ(f.table.find_or_create(client_b, 3, remote_2, 53)->external_port, 10001);
    EXPECT_TRUE(f.table.indexes_consistent());
}

TEST(nat_port_table, no_entry_when_every_port_already_serves_the_remote_endpoint)
{
    auto clock = std::make_shared<manual_nat_clock>();
    port_nat_table table(clock, 10000, 10003);
    table.set_max_entries_per_client(port_nat_table::no_client_limit);
    for (std::uint16_t p = 0; p < 4; ++p)
        ASSERT_NE(table.find_or_create(client_a, p, remote_1, 53), nullptr);
    EXPECT_EQ(table.find_or_create(client_b, 9, remote_1, 53), nullptr);
    EXPECT_EQ(table.find_or_create(client_b, 9, remote_1, 54)->external_port, 10000);
    EXPECT_EQ(table.size(), 5u);
    EXPECT_TRUE(table.indexes_consistent());
}

// One client endpoint talking to 100,000 destinations: every flow has its own entry, the client's
// packets and the replies find it, and once idle the sweep takes every one of them (and records
// how long it held the lock). The indexes must not degrade to a walk over the client's flows.
TEST(nat_port_table, one_client_endpoint_with_100000_destinations)
{
    fixture f;
    f.table.set_max_entries_per_client(port_nat_table::no_client_limit);
    auto destination = [](std::uint32_t i) {
        return ip_address_v4{100, static_cast<std::uint8_t>(64 + (i >> 16)), static_cast<std::uint8_t>(i >> 8),
                             static_cast<std::uint8_t>(i)};
    };
    constexpr std::uint32_t flows = 100000;
    for (std::uint32_t i = 0; i < flows; ++i) {
        const auto e = f.table.find_or_create(client_a, 40000, destination(i), 443);
        ASSERT_NE(e, nullptr) << i;
        ASSERT_EQ(e->external_port, 10000 + i % 55536) << i;  // past the last port, shared from the lowest
    }
    f.clock->advance(300);
    for (std::uint32_t i = 0; i < flows; ++i) {
        const auto e = f.table.find_outgoing(client_a, 40000, destination(i), 443);
        ASSERT_NE(e, nullptr) << i;
        ASSERT_EQ(f.table.find_incoming(e->external_port, destination(i), 443), e) << i;
    }
    EXPECT_EQ(f.table.find_incoming(10000, destination(flows), 443), nullptr);
    EXPECT_TRUE(f.table.indexes_consistent());

    // All but one flow idle for 601 s: the creation that runs the next sweep removes them.
    f.clock->advance(300);
    ASSERT_NE(f.table.find_outgoing(client_a, 40000, destination(77), 443), nullptr);
    f.clock->advance(301);
    for (std::uint16_t p = 0; p < 11; ++p)
        ASSERT_NE(f.table.find_or_create(client_b, p, remote_1, 80), nullptr);
    EXPECT_EQ(f.table.size(), 12u);
    EXPECT_NE(f.table.find_outgoing(client_a, 40000, destination(77), 443), nullptr);
    EXPECT_GT(f.table.longest_sweep_nanoseconds(), 0u);
    EXPECT_TRUE(f.table.indexes_consistent());
}

}  // namespace
