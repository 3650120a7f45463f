// The fragment tracker's bounds: a flood of datagrams never grows it, the newest survive it,
// records expire, and one datagram's record is never handed to another.
#include "nat/fragment_tracker.h"

#include <gtest/gtest.h>

namespace {

using nat::fragment_key;
using nat::fragment_tracker;

fragment_key datagram(std::uint32_t n, std::uint8_t protocol = 17)
{
    return fragment_key{net::ip_address_v4{10, 66, static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16)},
                        net::ip_address_v4{93, 184, 216, 34}, static_cast<std::uint16_t>(n), protocol};
}

const net::ip_address_v4 external{192, 0, 2, 10};

TEST(nat_fragment_tracker, a_flood_stays_within_capacity_and_the_newest_datagrams_survive_it)
{
    fragment_tracker tracker;
    const std::uint32_t flood = 20 * fragment_tracker::capacity;
    for (std::uint32_t n = 0; n < flood; ++n)
        tracker.remember(datagram(n), external, 1000);
    EXPECT_EQ(tracker.size(1000), fragment_tracker::capacity);
    // Each set gives way oldest first, so the last `ways` datagrams are surely still there.
    for (std::uint32_t n = flood - fragment_tracker::ways; n < flood; ++n)
        EXPECT_EQ(tracker.find(datagram(n), 1000), external) << n;
    // Most of the first ones are gone; none is ever confused with a newer one.
    std::size_t survivors = 0;
    for (std::uint32_t n = 0; n < fragment_tracker::capacity; ++n)
        survivors += tracker.find(datagram(n), 1000).has_value();
    EXPECT_LT(survivors, fragment_tracker::capacity / 10);
}

TEST(nat_fragment_tracker, records_expire_and_expired_ones_are_reused_before_live_ones)
{
    fragment_tracker tracker(42);
    tracker.remember(datagram(1), external, 1000);
    EXPECT_EQ(tracker.find(datagram(1), 1000 + fragment_tracker::lifetime_ms), external) << "the last moment";
    EXPECT_FALSE(tracker.find(datagram(1), 1001 + fragment_tracker::lifetime_ms));
    EXPECT_EQ(tracker.size(1001 + fragment_tracker::lifetime_ms), 0u);

    // A full tracker whose records all expired takes new datagrams without evicting the live.
    for (std::uint32_t n = 0; n < fragment_tracker::capacity; ++n)
        tracker.remember(datagram(n), external, 2000);
    const std::int64_t later = 2001 + fragment_tracker::lifetime_ms;
    tracker.remember(datagram(5000), net::ip_address_v4{192, 0, 2, 11}, later);
    tracker.remember(datagram(5001), net::ip_address_v4{192, 0, 2, 12}, later);
    EXPECT_EQ(tracker.size(later), 2u);
    EXPECT_EQ(tracker.find(datagram(5000), later), (net::ip_address_v4{192, 0, 2, 11}));
    EXPECT_EQ(tracker.find(datagram(5001), later), (net::ip_address_v4{192, 0, 2, 12}));
}

TEST(nat_fragment_tracker, only_the_same_datagram_finds_its_record)
{
    fragment_tracker tracker;
    const fragment_key key = datagram(7);
    tracker.remember(key, external, 0);
    fragment_key other_source = key;
    other_source.source = net::ip_address_v4{10, 66, 0, 9};
    fragment_key other_destination = key;
    other_destination.destination = net::ip_address_v4{93, 184, 216, 35};
    fragment_key other_id = key;
    other_id.identification = 8;
    fragment_key other_protocol = key;
    other_protocol.protocol = 6;
    for (const fragment_key& k : {other_source, other_destination, other_id, other_protocol})
        EXPECT_FALSE(tracker.find(k, 0));

    // A repeated first fragment renews its record instead of taking a second one.
    tracker.remember(key, net::ip_address_v4{192, 0, 2, 99}, 10);
    EXPECT_EQ(tracker.find(key, 10), (net::ip_address_v4{192, 0, 2, 99}));
    EXPECT_EQ(tracker.size(10), 1u);
    tracker.clear();
    EXPECT_FALSE(tracker.find(key, 10));
}

}  // namespace
