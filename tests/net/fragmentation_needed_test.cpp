#include <gtest/gtest.h>

#include "net/rewriters.h"
#include "packet_builder.h"

using namespace net_test;

// The reply quotes the original header and 8 payload bytes, comes from the original
// destination and carries the next-hop MTU; for IHL 5 it is 70 bytes with total length 56.
TEST(net_fragmentation_needed, builds_the_icmp_reply)
{
    for (std::size_t ip_options : {std::size_t{0}, std::size_t{40}}) {
        std::vector<std::uint8_t> payload(1400);
        for (std::size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<std::uint8_t>(i);
        auto b = build_ipv4(17, udp_datagram(40000, 443, payload), std::vector<std::uint8_t>(ip_options, 1));
        const std::size_t quoted = 20 + ip_options + 8;
        const std::vector<std::uint8_t> original(b->frame + 14, b->frame + 14 + quoted);

        ASSERT_TRUE(net::make_fragmentation_needed(*b, 1280));
        const std::uint8_t* f = b->frame;
        EXPECT_EQ(b->length, 42 + quoted);
        EXPECT_EQ(std::vector<std::uint8_t>(f, f + 6), std::vector<std::uint8_t>(client_mac, client_mac + 6));
        EXPECT_EQ(std::vector<std::uint8_t>(f + 6, f + 12), std::vector<std::uint8_t>(server_mac, server_mac + 6));
        EXPECT_EQ(f[14], 0x45);
        EXPECT_EQ(f[15], 0);
        EXPECT_EQ(be16(f + 16), 28 + quoted);
        EXPECT_EQ(be16(f + 18), 0x1234) << "identification kept";
        EXPECT_EQ(be16(f + 20), 0x4000);
        EXPECT_EQ(f[22], 30);
        EXPECT_EQ(f[23], 1);
        EXPECT_EQ(std::vector<std::uint8_t>(f + 26, f + 30), std::vector<std::uint8_t>(server_ip, server_ip + 4));
        EXPECT_EQ(std::vector<std::uint8_t>(f + 30, f + 34), std::vector<std::uint8_t>(client_ip, client_ip + 4));
        EXPECT_EQ(f[34], 3);
        EXPECT_EQ(f[35], 4);
        EXPECT_EQ(be16(f + 38), 0);
        EXPECT_EQ(be16(f + 40), 1280);
        EXPECT_EQ(std::vector<std::uint8_t>(f + 42, f + 42 + quoted), original);
        EXPECT_TRUE(ip_checksum_ok(*b));
        EXPECT_TRUE(transport_checksum_ok(*b));
    }
}

TEST(net_fragmentation_needed, refusals_and_lying_lengths)
{
    auto not_ip = build_ipv4(6, tcp_segment(0x10, {}, std::vector<std::uint8_t>(100, 1)));
    put16(not_ip->frame + 12, 0x86DD);
    auto short_ihl = build_ipv4(6, tcp_segment(0x10));
    short_ihl->frame[14] = 0x43;
    auto truncated = build_ipv4(6, tcp_segment(0x10), std::vector<std::uint8_t>(40, 1));
    truncated->length = 14 + 60 + 7;  // the frame ends one byte short of header + 8
    for (auto* b : {not_ip.get(), short_ihl.get(), truncated.get()}) {
        const auto before = clone(*b);
        EXPECT_FALSE(net::make_fragmentation_needed(*b, 1280));
        EXPECT_TRUE(same_bytes(*b, *before));
    }

    // A frame length beyond the frame area is bounded by the area: the quote is there.
    auto lying = build_ipv4(6, tcp_segment(0x10), std::vector<std::uint8_t>(40, 1));
    lying->length = 0xFFFFFFFF;
    put16(lying->frame + 16, 65535);
    ASSERT_TRUE(net::make_fragmentation_needed(*lying, 576));
    EXPECT_EQ(lying->length, 42u + 68u);
    EXPECT_TRUE(ip_checksum_ok(*lying));
    EXPECT_TRUE(transport_checksum_ok(*lying));
}
