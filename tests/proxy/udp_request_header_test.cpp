// The destination header of the UDP relays as a sender on the server's port may write it:
// only a whole, unfragmented header naming an IPv4 address names a destination.

#include "proxy/udp_request_header.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

TEST(proxy_udp_request_header, only_a_whole_unfragmented_ipv4_header_names_a_destination)
{
    struct row {
        const char* what;
        std::vector<std::uint8_t> datagram;
        bool names;
    } rows[] = {
        {"header and payload", {0, 0, 0, 1, 192, 0, 2, 53, 0x14, 0xE9, 'p', 'a', 'y'}, true},
        {"header alone (an empty datagram)", {0, 0, 0, 1, 192, 0, 2, 53, 0x14, 0xE9}, true},
        {"reserved bytes are not examined", {0xAB, 0xCD, 0, 1, 192, 0, 2, 53, 0x14, 0xE9}, true},
        {"one byte short", {0, 0, 0, 1, 192, 0, 2, 53, 0x14}, false},
        {"empty", {}, false},
        {"a fragment", {0, 0, 1, 1, 192, 0, 2, 53, 0x14, 0xE9}, false},
        {"a name", {0, 0, 0, 3, 11, 'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'c', 'o', 'm', 0, 53}, false},
        {"an IPv6 address", {0, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 53}, false},
        {"address type 0", {0, 0, 0, 0, 192, 0, 2, 53, 0x14, 0xE9}, false},
    };
    for (const row& r : rows) {
        const auto destination = proxy::read_udp_request_header(r.datagram.data(), r.datagram.size());
        ASSERT_EQ(destination.has_value(), r.names) << r.what;
        if (destination) {
            EXPECT_EQ(destination->address, (net::ip_address_v4{192, 0, 2, 53})) << r.what;
            EXPECT_EQ(destination->port, 5353) << r.what;
        }
    }
    EXPECT_FALSE(proxy::read_udp_request_header(nullptr, 10));
}

}  // namespace
