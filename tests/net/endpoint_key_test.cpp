#include "net/endpoint_key.h"

#include <gtest/gtest.h>

#include <unordered_map>

// Expected values computed independently (a few lines of Python over the byte orders that
// the tables promise), so a change of byte order or of the two-step rule shows here.
TEST(net_fnv1a, known_values)
{
    const std::uint8_t a = 'a';
    EXPECT_EQ(net::fnv1a(&a, 1), 0xaf63dc4c8601ec8cull);  // the published test vector
    EXPECT_EQ(net::fnv1a_u16(0x1234), 0x07ee9e07b4b1c883ull);
    EXPECT_EQ(net::fnv1a_u16(53), 0x07eb2a07b4aecd90ull);
    EXPECT_EQ(net::fnv1a(net::ip_address_v4(192, 168, 1, 10)), 0x6dc418c32fd7c8e2ull);
    EXPECT_EQ(net::fnv1a(net::endpoint_key{net::ip_address_v4(10, 0, 0, 2), 51000}), 0x6b9e0eb6c659ce8eull);
    EXPECT_EQ(net::fnv1a(net::endpoint_key{}), 0xacedc5ec4340438bull);

    const net::fnv1a_hash hash;
    EXPECT_EQ(hash(std::uint16_t{0x1234}), static_cast<std::size_t>(0x07ee9e07b4b1c883ull));
    EXPECT_EQ(std::hash<net::endpoint_key>{}(net::endpoint_key{net::ip_address_v4(10, 0, 0, 2), 51000}),
              static_cast<std::size_t>(0x6b9e0eb6c659ce8eull));
}

// Keys that differ only in port or only in one address octet are distinct table entries.
TEST(net_fnv1a, endpoint_keys_in_unordered_map)
{
    std::unordered_map<net::endpoint_key, int, net::fnv1a_hash> table;
    for (int port = 1000; port < 1100; ++port) {
        table[{net::ip_address_v4(10, 0, 0, 2), static_cast<std::uint16_t>(port)}] = port;
        table[{net::ip_address_v4(10, 0, 0, 3), static_cast<std::uint16_t>(port)}] = -port;
    }
    ASSERT_EQ(table.size(), 200u);
    EXPECT_EQ((table[{net::ip_address_v4(10, 0, 0, 2), 1042}]), 1042);
    EXPECT_EQ((table[{net::ip_address_v4(10, 0, 0, 3), 1042}]), -1042);
    EXPECT_EQ(table.count({net::ip_address_v4(10, 0, 0, 4), 1042}), 0u);
}
