// Behaviour of the ICMP translation table: a fresh identifier per message, replies mapped back
// by identifier and source, reclaiming of stale identifiers and sharing on exhaustion.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "nat/icmp_nat_table.h"

namespace {

using nat::icmp_nat_table;
using nat::manual_nat_clock;
using net::ip_address_v4;

const ip_address_v4 client_a{10, 66, 0, 2};
const ip_address_v4 client_b{10, 66, 0, 3};
const ip_address_v4 remote_1{198, 51, 100, 1};
const ip_address_v4 remote_2{198, 51, 100, 2};

TEST(nat_icmp_table, every_message_gets_a_fresh_identifier_and_replies_map_back_to_their_request)
{
    auto clock = std::make_shared<manual_nat_clock>();
    icmp_nat_table table(clock);
    table.set_external_address({192, 0, 2, 9});

    // Three echo requests of one ping: same client, same identifier, same destination.
    const auto e0 = table.create_mapping(client_a, remote_1, 0x1234);
    const auto e1 = table.create_mapping(client_a, remote_1, 0x1234);
    const auto e2 = table.create_mapping(client_b, remote_1, 0x0001);
    EXPECT_EQ(e0->external_id, 0);
    EXPECT_EQ(e1->external_id, 1);
    EXPECT_EQ(e2->external_id, 2);
    EXPECT_EQ(e0->external_address, (ip_address_v4{192, 0, 2, 9}));

    EXPECT_EQ(table.find_reply(1, remote_1), e1);
    EXPECT_EQ(table.find_reply(2, remote_1)->client_id, 0x0001);
    EXPECT_EQ(table.find_reply(2, remote_1)->client_address, client_b);
    EXPECT_EQ(table.find_reply(1, remote_2), nullptr);  // an answer from someone else
    EXPECT_EQ(table.find_reply(3, remote_1), nullptr);

    // At 601 s identifier 0 is reclaimed; 1 and 2 are not (there is no sweep in this table).
    clock->advance(600);
    EXPECT_EQ(table.create_mapping(client_a, remote_2, 7)->external_id, 3);
    clock->advance(1);
    EXPECT_EQ(table.create_mapping(client_a, remote_2, 8)->external_id, 0);
    EXPECT_EQ(table.find_reply(0, remote_1), nullptr);
    EXPECT_EQ(table.size(), 4u);
    EXPECT_TRUE(table.indexes_consistent());

    table.clear();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.create_mapping(client_a, remote_1, 1)->external_id, 0);
}

TEST(nat_icmp_table, identifiers_are_shared_on_exhaustion_but_never_towards_the_same_remote)
{
    auto clock = std::make_shared<manual_nat_clock>();
    icmp_nat_table table(clock);
    table.set_max_entries_per_client(icmp_nat_table::no_client_limit);
    for (std::uint32_t i = 0; i < 65536; ++i)
        ASSERT_EQ(table.create_mapping(client_a, i < 2 ? remote_1 : remote_2, 5)->external_id, i);

    const ip_address_v4 remote_3{198, 51, 100, 3};
    const auto shared = table.create_mapping(client_b, remote_3, 6);
    EXPECT_EQ(shared->external_id, 0);
    EXPECT_EQ(table.find_reply(0, remote_3), shared);
    EXPECT_EQ(table.find_reply(0, remote_1)->client_address, client_a);

    // Identifiers 0 and 1 already carry remote_1: a second message there would take the
    // first one's replies.
    EXPECT_EQ(table.create_mapping(client_b, remote_1, 7)->external_id, 2);
    EXPECT_TRUE(table.indexes_consistent());

    icmp_nat_table tiny(clock, 0, 1);
    tiny.set_max_entries_per_client(icmp_nat_table::no_client_limit);
    ASSERT_NE(tiny.create_mapping(client_a, remote_1, 1), nullptr);
    ASSERT_NE(tiny.create_mapping(client_a, remote_1, 1), nullptr);
    EXPECT_EQ(tiny.create_mapping(client_b, remote_1, 1), nullptr);
    EXPECT_EQ(tiny.create_mapping(client_b, remote_2, 1)->external_id, 0);
}

}  // namespace
