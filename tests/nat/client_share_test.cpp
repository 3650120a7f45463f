// A client that opens new flows (or sends ICMP messages) without end must not take every
// external port or identifier from the others: at its share each new flow of its own costs it
// its longest-idle entry, while other clients keep getting ports up to their own share.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "nat/icmp_nat_table.h"
#include "nat/port_nat_table.h"

namespace {

using nat::icmp_nat_table;
using nat::manual_nat_clock;
using nat::port_nat_table;
using net::ip_address_v4;

const ip_address_v4 client_a{10, 66, 0, 2};
const ip_address_v4 client_b{10, 66, 0, 3};
const ip_address_v4 remote{203, 0, 113, 1};

ip_address_v4 destination(std::uint32_t i)
{
    return {100, 64, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
}

TEST(nat_client_share, a_flooding_client_churns_only_its_own_share_and_others_still_get_ports)
{
    auto clock = std::make_shared<manual_nat_clock>();
    port_nat_table table(clock, 10000, 10039);  // 40 ports: a share of 10 per client
    ASSERT_EQ(table.max_entries_per_client(), 10u);

    // Client A floods 1,000 new flows; it never holds more than its share, and only the
    // ports of its first ten flows go round.
    for (std::uint32_t i = 0; i < 1000; ++i) {
        const auto entry = table.find_or_create(client_a, 40000, destination(i), 443);
        ASSERT_NE(entry, nullptr) << i;
        EXPECT_LT(entry->external_port, 10010) << i;
        clock->advance(i % 7 == 0 ? 1 : 0);
    }
    EXPECT_EQ(table.size(), 10u);
    // Its ten newest flows are the ones left, in both directions.
    for (std::uint32_t i = 990; i < 1000; ++i) {
        const auto entry = table.find_outgoing(client_a, 40000, destination(i), 443);
        ASSERT_NE(entry, nullptr) << i;
        EXPECT_EQ(table.find_incoming(entry->external_port, destination(i), 443), entry);
    }
    EXPECT_EQ(table.find_outgoing(client_a, 40000, destination(989), 443), nullptr);

    // Client B gets the next ports up to its own share, and its flows survive A's flood.
    for (std::uint16_t p = 0; p < 10; ++p) {
        const auto entry = table.find_or_create(client_b, p, remote, 80);
        ASSERT_NE(entry, nullptr) << p;
        EXPECT_EQ(entry->external_port, 10010 + p);
    }
    for (std::uint32_t i = 1000; i < 1100; ++i)
        ASSERT_NE(table.find_or_create(client_a, 40001, destination(i), 443), nullptr);
    for (std::uint16_t p = 0; p < 10; ++p)
        EXPECT_NE(table.find_outgoing(client_b, p, remote, 80), nullptr) << p;
    EXPECT_EQ(table.size(), 20u);
    EXPECT_TRUE(table.indexes_consistent());
}

TEST(nat_client_share, at_its_share_a_client_gives_up_its_longest_idle_flow_not_its_busy_ones)
{
    auto clock = std::make_shared<manual_nat_clock>();
    port_nat_table table(clock, 10000, 10039);
    table.set_max_entries_per_client(3);
    for (std::uint32_t i = 0; i < 3; ++i)
        ASSERT_EQ(table.find_or_create(client_a, 40000, destination(i), 443)->external_port, 10000 + i);
    ASSERT_NE(table.find_or_create(client_b, 1, remote, 80), nullptr);  // on 10003

    clock->advance(5);
    ASSERT_NE(table.find_outgoing(client_a, 40000, destination(0), 443), nullptr);  // flow 0 is busy
    clock->advance(5);

    // Flow 1 has been idle longest: it makes way, and its port is the lowest free one.
    const auto fourth = table.find_or_create(client_a, 40000, destination(3), 443);
    ASSERT_NE(fourth, nullptr);
    EXPECT_EQ(fourth->external_port, 10001);
    EXPECT_EQ(table.find_outgoing(client_a, 40000, destination(1), 443), nullptr);
    EXPECT_NE(table.find_incoming(10000, destination(0), 443), nullptr);
    EXPECT_NE(table.find_incoming(10002, destination(2), 443), nullptr);
    EXPECT_NE(table.find_incoming(10003, remote, 80), nullptr);  // another client's entry is not touched

    // Flow 2 goes next.
    EXPECT_EQ(table.find_or_create(client_a, 40000, destination(4), 443)->external_port, 10002);
    EXPECT_EQ(table.find_outgoing(client_a, 40000, destination(2), 443), nullptr);

    // A lowered share brings the client down to it at its next new flow.
    table.set_max_entries_per_client(1);
    const auto only = table.find_or_create(client_a, 40001, remote, 80);
    ASSERT_NE(only, nullptr);
    EXPECT_EQ(table.find_outgoing(client_a, 40000, destination(0), 443), nullptr);
    EXPECT_EQ(table.find_outgoing(client_a, 40000, destination(4), 443), nullptr);
    EXPECT_NE(table.find_outgoing(client_a, 40001, remote, 80), nullptr);
    EXPECT_EQ(table.size(), 2u);  // client B's entry and A's newest
    EXPECT_TRUE(table.indexes_consistent());
}

TEST(nat_client_share, an_icmp_flood_reuses_its_own_share_and_replies_still_map_back)
{
    auto clock = std::make_shared<manual_nat_clock>();
    icmp_nat_table table(clock, 0, 39);  // a share of 10 per client
    for (std::uint16_t i = 0; i < 10; ++i)
        ASSERT_EQ(table.create_mapping(client_a, remote, 7)->external_id, i);
    EXPECT_EQ(table.create_mapping(client_b, remote, 7)->external_id, 10);

    // The client's oldest message makes way for each new one; client B's entry stays.
    EXPECT_EQ(table.create_mapping(client_a, remote, 7)->external_id, 0);
    EXPECT_EQ(table.create_mapping(client_a, destination(1), 8)->external_id, 1);
    for (int i = 0; i < 500; ++i)
        ASSERT_NE(table.create_mapping(client_a, remote, 7), nullptr);
    EXPECT_EQ(table.size(), 11u);
    EXPECT_EQ(table.find_reply(10, remote)->client_address, client_b);
    EXPECT_TRUE(table.indexes_consistent());
}

}  // namespace
