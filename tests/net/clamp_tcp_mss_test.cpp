#include <gtest/gtest.h>

#include "net/checksum.h"
#include "net/rewriters.h"
#include "packet_builder.h"

using namespace net_test;

namespace {

constexpr std::size_t tcp_at = 14 + 20;
constexpr std::uint32_t mtu = 1400;  // MSS 1360 = 0x0550
constexpr std::uint32_t client_mtu = 1420;

std::vector<std::uint8_t> bytes_at(const tarnwell::INTERMEDIATE_BUFFER& b, std::size_t offset, std::size_t n)
{
    return {b.frame + offset, b.frame + offset + n};
}

}  // namespace

TEST(net_clamp_tcp_mss, syn_without_options_gets_the_option)
{
    auto b = build_ipv4(6, tcp_segment(0x02));
    ASSERT_TRUE(net::clamp_tcp_mss(*b, mtu, client_mtu));
    EXPECT_EQ(b->length, 14u + 44u);
    EXPECT_EQ(be16(b->frame + 16), 44);
    EXPECT_EQ(b->frame[tcp_at + 12], 0x60);
    EXPECT_EQ(bytes_at(*b, tcp_at + 20, 4), (std::vector<std::uint8_t>{2, 4, 0x05, 0x50}));
    net::refresh_tcp_checksum(*b);
    net::refresh_ip_checksum(*b);
    EXPECT_TRUE(transport_checksum_ok(*b));
    EXPECT_TRUE(ip_checksum_ok(*b));
}

// An MSS option anywhere in the list gets the new value (even a smaller one); nothing moves.
TEST(net_clamp_tcp_mss, existing_option_is_overwritten)
{
    const std::vector<std::vector<std::uint8_t>> option_lists = {
        {2, 4, 0x05, 0xB4},
        {1, 1, 2, 4, 0x02, 0x18, 1, 1},                                      // MSS 536 after NOPs
        {4, 2, 8, 10, 1, 2, 3, 4, 5, 6, 7, 8, 1, 3, 3, 7, 2, 4, 0x05, 0xB4},  // SACK-perm, TS, WS, MSS
    };
    for (const auto& options : option_lists) {
        auto b = build_ipv4(6, tcp_segment(0x02, options, {9, 9, 9}));
        const auto before = clone(*b);
        ASSERT_TRUE(net::clamp_tcp_mss(*b, mtu, client_mtu));
        std::size_t at = 0;
        while (options[at] != 2)
            at += options[at] == 1 ? 1 : options[at + 1];
        EXPECT_EQ(be16(b->frame + tcp_at + 20 + at + 2), 1360);
        put16(b->frame + tcp_at + 20 + at + 2, be16(before->frame + tcp_at + 20 + at + 2));
        EXPECT_TRUE(same_bytes(*b, *before)) << "only the MSS value may change";
    }
}

// Without an MSS option the new one goes first and everything behind the fixed header moves:
// options and, for a SYN carrying data, the payload (which used to be overwritten).
TEST(net_clamp_tcp_mss, insertion_moves_options_and_payload)
{
    const std::vector<std::uint8_t> payload = {'G', 'E', 'T', ' ', '/', 0, 1, 2, 3};
    const struct {
        std::vector<std::uint8_t> options;
        std::vector<std::uint8_t> payload;
    } rows[] = {
        {{}, payload},
        {{1, 1, 8, 10, 1, 2, 3, 4, 5, 6, 7, 8}, {}},
        {{1, 1, 8, 10, 1, 2, 3, 4, 5, 6, 7, 8}, payload},
        {{3, 3, 7, 0}, payload},  // window scale then end of list
        {{0, 0, 0, 0}, {}},       // end of list at once
    };
    for (const auto& r : rows) {
        auto b = build_ipv4(6, tcp_segment(0x02, r.options, r.payload), {}, 0xEE);
        const std::size_t header = 20 + r.options.size();
        const std::size_t total = 20 + header + r.payload.size();
        ASSERT_TRUE(net::clamp_tcp_mss(*b, mtu, client_mtu));
        EXPECT_EQ(be16(b->frame + 16), total + 4);
        EXPECT_EQ(b->length, 14 + total + 4);
        EXPECT_EQ(b->frame[tcp_at + 12] >> 4, (header + 4) / 4);
        EXPECT_EQ(bytes_at(*b, tcp_at + 20, 4), (std::vector<std::uint8_t>{2, 4, 0x05, 0x50}));
        EXPECT_EQ(bytes_at(*b, tcp_at + 24, r.options.size()), r.options);
        EXPECT_EQ(bytes_at(*b, tcp_at + header + 4, r.payload.size()), r.payload) << "payload lost";
        net::refresh_tcp_checksum(*b);
        EXPECT_TRUE(transport_checksum_ok(*b));
    }
}

// Nothing may change when the MTUs do not ask for it, when the option list cannot be walked
// safely, or when the grown segment would not fit; nothing outside the buffer is touched.
TEST(net_clamp_tcp_mss, refusals_leave_the_frame_unchanged)
{
    using mutate_fn = void (*)(tarnwell::INTERMEDIATE_BUFFER&);
    const struct {
        const char* what;
        std::vector<std::uint8_t> transport;
        std::uint32_t mtu;
        std::uint32_t client_mtu;
        mutate_fn mutate;
    } rows[] = {
        {"equal MTUs", tcp_segment(0x02), 1420, 1420, nullptr},
        {"external MTU above client MTU", tcp_segment(0x02), 1500, 1420, nullptr},
        {"absurd MTU", tcp_segment(0x02), 40, 1420, nullptr},
        {"option length 0", tcp_segment(0x02, {3, 0, 1, 1}), mtu, client_mtu, nullptr},
        {"option length 1", tcp_segment(0x02, {1, 8, 1, 1}), mtu, client_mtu, nullptr},
        {"option running past the header", tcp_segment(0x02, {1, 1, 8, 10}), mtu, client_mtu, nullptr},
        {"MSS option cut by the header end", tcp_segment(0x02, {1, 1, 1, 2}), mtu, client_mtu, nullptr},
        {"header already 60 bytes", tcp_segment(0x02, std::vector<std::uint8_t>(40, 1)), mtu, client_mtu, nullptr},
        {"data offset 15 in a short segment", tcp_segment(0x02), mtu, client_mtu,
         [](tarnwell::INTERMEDIATE_BUFFER& b) { b.frame[tcp_at + 12] = 0xF0; }},
        {"data offset below 5", tcp_segment(0x02), mtu, client_mtu,
         [](tarnwell::INTERMEDIATE_BUFFER& b) { b.frame[tcp_at + 12] = 0x40; }},
        {"total length 65535", tcp_segment(0x02), mtu, client_mtu,
         [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 16, 65535); }},
        {"IHL 15 in a short datagram", tcp_segment(0x02), mtu, client_mtu,
         [](tarnwell::INTERMEDIATE_BUFFER& b) { b.frame[14] = 0x4F; }},
        {"segment shorter than a TCP header", tcp_segment(0x02), mtu, client_mtu,
         [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 16, 30); }},
        {"datagram fills the frame area", tcp_segment(0x02, {}, std::vector<std::uint8_t>(1460, 7)), mtu, client_mtu,
         nullptr},
        {"lying frame length", tcp_segment(0x02), mtu, client_mtu,
         [](tarnwell::INTERMEDIATE_BUFFER& b) { b.length = 0xFFFFFFFF; }},
        {"not TCP", udp_datagram(1, 2, std::vector<std::uint8_t>(20, 0)), mtu, client_mtu, nullptr},
        {"not IPv4", tcp_segment(0x02), mtu, client_mtu,
         [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 12, 0x0806); }},
    };
    for (const auto& r : rows) {
        auto b = build_ipv4(r.what == std::string("not TCP") ? 17 : 6, r.transport, {}, 0xEE);
        if (r.mutate)
            r.mutate(*b);
        const auto before = clone(*b);
        EXPECT_FALSE(net::clamp_tcp_mss(*b, r.mtu, r.client_mtu)) << r.what;
        EXPECT_TRUE(same_bytes(*b, *before)) << r.what;
    }
}
