#include <gtest/gtest.h>

#include <chrono>

#include "net/rewriters.h"
#include "packet_builder.h"

using namespace net_test;

namespace {

constexpr std::size_t udp_at = 14 + 20;
constexpr std::size_t ntp_at = udp_at + 8;

std::uint32_t be32(const std::uint8_t* p) { return (std::uint32_t{be16(p)} << 16) | be16(p + 2); }

std::vector<std::uint8_t> ntp_request(std::uint8_t first_byte, std::size_t extra = 0)
{
    std::vector<std::uint8_t> m(48 + extra, 0);
    m[0] = first_byte;
    m[2] = 6;  // poll
    for (int i = 0; i < 8; ++i)
        m[40 + i] = static_cast<std::uint8_t>(0xA0 + i);  // client's transmit timestamp
    return m;
}

}  // namespace

TEST(net_ntp_reply, answers_a_client_request)
{
    // 2023-11-14 22:13:20.123 UTC: NTP seconds 0xE8FE6F80, fraction of 123 ms 0x1F7CED90.
    for (std::size_t extra : {std::size_t{0}, std::size_t{1}}) {
        auto b = build_ipv4(17, udp_datagram(40123, 123, ntp_request(0xE3 /* LI 3, v4, client */, extra)));
        const std::uint32_t length = b->length;
        ASSERT_TRUE(net::make_ntp_reply(*b, 1700000000123ull));
        const std::uint8_t* f = b->frame;
        const std::uint8_t* ntp = f + ntp_at;
        EXPECT_EQ(ntp[0], 0x24) << "leap 0, version 4, mode 4";
        EXPECT_EQ(ntp[1], 1);
        EXPECT_EQ(ntp[2], 6);
        EXPECT_EQ(ntp[3], 0xEC);
        EXPECT_EQ(be32(ntp + 4), 0u);
        EXPECT_EQ(be32(ntp + 8), 0u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(ntp + 12), 4), "LOCL");
        EXPECT_EQ(be32(ntp + 16), 0xE8FE6F80u - 60);
        EXPECT_EQ(be32(ntp + 20), 0x1F7CED90u);
        EXPECT_EQ(be32(ntp + 24), 0xA0A1A2A3u);
        EXPECT_EQ(be32(ntp + 28), 0xA4A5A6A7u);
        EXPECT_EQ(be32(ntp + 32), 0xE8FE6F80u);
        EXPECT_EQ(be32(ntp + 36), 0x1F7CED90u);
        EXPECT_EQ(be32(ntp + 40), 0xE8FE6F80u);
        EXPECT_EQ(be32(ntp + 44), 0x1F7CED92u);
        EXPECT_EQ(std::vector<std::uint8_t>(f, f + 6), std::vector<std::uint8_t>(client_mac, client_mac + 6));
        EXPECT_EQ(std::vector<std::uint8_t>(f + 26, f + 30), std::vector<std::uint8_t>(server_ip, server_ip + 4));
        EXPECT_EQ(be16(f + udp_at), 123);
        EXPECT_EQ(be16(f + udp_at + 2), 40123);
        EXPECT_EQ(f[22], 64) << "TTL kept";
        EXPECT_EQ(b->length, length);
        EXPECT_TRUE(ip_checksum_ok(*b));
        EXPECT_TRUE(transport_checksum_ok(*b));
    }
}

TEST(net_ntp_reply, uses_the_system_clock)
{
    auto b = build_ipv4(17, udp_datagram(40123, 123, ntp_request(0x1B)));
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    ASSERT_TRUE(net::make_ntp_reply(*b));
    const std::uint32_t expected = static_cast<std::uint32_t>(now.count()) + 2208988800u;
    EXPECT_LE(be32(b->frame + ntp_at + 40) - expected, 2u);
    EXPECT_EQ(b->frame[ntp_at], 0x1C);
}

TEST(net_ntp_reply, refusals_leave_the_frame_unchanged)
{
    using mutate_fn = void (*)(tarnwell::INTERMEDIATE_BUFFER&);
    const struct {
        const char* what;
        mutate_fn mutate;
    } rows[] = {
        {"UDP length 55", [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + udp_at + 4, 55); }},
        {"UDP length 8", [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + udp_at + 4, 8); }},
        {"mode 4 (a server's reply)", [](tarnwell::INTERMEDIATE_BUFFER& b) { b.frame[ntp_at] = 0x24; }},
        {"mode 1", [](tarnwell::INTERMEDIATE_BUFFER& b) { b.frame[ntp_at] = 0x21; }},
        {"not UDP", [](tarnwell::INTERMEDIATE_BUFFER& b) { b.frame[14 + 9] = 6; }},
        {"not IPv4", [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 12, 0x86DD); }},
        {"datagram shorter than the message", [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 16, 20 + 8 + 47); }},
        {"total length 65535", [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 16, 65535); }},
        {"IHL 15", [](tarnwell::INTERMEDIATE_BUFFER& b) { b.frame[14] = 0x4F; }},
    };
    for (const auto& r : rows) {
        auto b = build_ipv4(17, udp_datagram(40123, 123, ntp_request(0x23)));
        r.mutate(*b);
        const auto before = clone(*b);
        EXPECT_FALSE(net::make_ntp_reply(*b, 1700000000123ull)) << r.what;
        EXPECT_TRUE(same_bytes(*b, *before)) << r.what;
    }
    // The message at the very end of the frame area is still answered.
    auto edge = build_ipv4(17, udp_datagram(1, 123, ntp_request(0x23, 1472 - 48)));
    EXPECT_TRUE(net::make_ntp_reply(*edge, 0));
}
