#include "net/checksum.h"

#include <gtest/gtest.h>

#include <random>

#include "packet_builder.h"

using namespace net_test;

namespace {

std::vector<std::uint8_t> random_bytes(std::mt19937& rng, std::size_t n)
{
    std::vector<std::uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

}  // namespace

// The wide-word sum must give exactly what the 16-bit definition gives, for every length,
// alignment and starting value (including the 0x0000/0xFFFF distinction).
TEST(net_checksum, ones_complement_sum_matches_16bit_definition)
{
    std::mt19937 rng(7);
    std::vector<std::uint8_t> storage(1600 + 8);
    for (std::size_t length = 0; length <= 300; ++length) {
        for (std::size_t align = 0; align < 8; ++align) {
            auto data = random_bytes(rng, length);
            std::copy(data.begin(), data.end(), storage.begin() + static_cast<std::ptrdiff_t>(align));
            const std::uint32_t initial = length % 3 == 0 ? 0 : static_cast<std::uint32_t>(rng() % 0x40000);
            ASSERT_EQ(net::ones_complement_sum(storage.data() + align, length, initial), reference_sum(data, initial))
                << "length " << length << " align " << align;
        }
    }
    const std::vector<std::uint8_t> ones(1500, 0xFF), zeros(1500, 0);
    EXPECT_EQ(net::ones_complement_sum(ones.data(), ones.size()), 0xFFFF);
    EXPECT_EQ(net::ones_complement_sum(zeros.data(), zeros.size()), 0x0000);
    EXPECT_EQ(net::ones_complement_sum(zeros.data(), 0, 0x1FFFE), 0xFFFF);
    // An odd last byte is the high byte of its word.
    const std::uint8_t odd[3] = {0x00, 0x01, 0xAB};
    EXPECT_EQ(net::ones_complement_sum(odd, 3), 0xAB01);
}

TEST(net_checksum, ip_header_known_value_and_options)
{
    // A well-known header whose checksum is 0xB861.
    const std::uint8_t header[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                     0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7};
    auto b = make_buffer();
    put16(b->frame + 12, 0x0800);
    std::memcpy(b->frame + 14, header, 20);
    put16(b->frame + 24, 0xDEAD);  // stale value must not enter the sum
    net::refresh_ip_checksum(*b);
    EXPECT_EQ(be16(b->frame + 24), 0xB861);

    // IHL 7: the options are covered.
    auto o = build_ipv4(17, udp_datagram(1, 2, {1, 2, 3}), {0x01, 0x01, 0x01, 0x00, 0x44, 0x04, 0x05, 0x00});
    net::refresh_ip_checksum(*o);
    EXPECT_TRUE(ip_checksum_ok(*o));
    const std::uint16_t before = be16(o->frame + 24);
    o->frame[14 + 22] ^= 0x40;
    net::refresh_ip_checksum(*o);
    EXPECT_NE(be16(o->frame + 24), before);
    EXPECT_TRUE(ip_checksum_ok(*o));
}

// Every transport routine on even and odd lengths, with and without IP options: the result
// verifies, an odd length writes exactly one zero pad byte after the datagram and the frame
// length is untouched.
TEST(net_checksum, transport_checksums_verify)
{
    struct row {
        std::uint8_t protocol;
        std::size_t payload;
        std::size_t ip_options;
    };
    const row rows[] = {{6, 0, 0},  {6, 1, 0},  {6, 1001, 8}, {6, 1460, 0},  {17, 0, 0}, {17, 3, 0},
                        {17, 1472, 0}, {17, 1471, 0}, {17, 7, 40}, {1, 0, 0}, {1, 55, 4}, {1, 56, 0}};
    std::mt19937 rng(11);
    for (const row& r : rows) {
        auto payload = random_bytes(rng, r.payload);
        std::vector<std::uint8_t> transport;
        if (r.protocol == 6)
            transport = tcp_segment(0x18, {}, payload);
        else if (r.protocol == 17)
            transport = udp_datagram(5353, 53, payload);
        else {
            transport.assign(8 + payload.size(), 0);
            transport[0] = 8;  // echo request
            std::copy(payload.begin(), payload.end(), transport.begin() + 8);
        }
        auto b = build_ipv4(r.protocol, transport, std::vector<std::uint8_t>(r.ip_options, 1), 0xAA);
        const std::size_t end = 14 + be16(b->frame + 16);
        const std::uint32_t length = b->length;
        net::refresh_tcp_checksum(*b);
        net::refresh_udp_checksum(*b);
        net::refresh_icmp_checksum(*b);
        net::refresh_ip_checksum(*b);
        SCOPED_TRACE(testing::Message() << "protocol " << int(r.protocol) << " payload " << r.payload);
        EXPECT_TRUE(transport_checksum_ok(*b));
        EXPECT_TRUE(ip_checksum_ok(*b));
        EXPECT_EQ(b->length, length);
        const bool odd = ((end - 14 - 20 - r.ip_options) & 1) != 0;
        if (end < sizeof b->frame) {
            EXPECT_EQ(b->frame[end], odd ? 0x00 : 0xAA);
        }
        if (end + 1 < sizeof b->frame) {
            EXPECT_EQ(b->frame[end + 1], 0xAA);
        }
    }
}

// Checksum 0 means "none" in UDP, so a computed 0 is sent as 0xFFFF; TCP keeps the 0.
TEST(net_checksum, computed_zero)
{
    for (std::uint8_t protocol : {std::uint8_t{17}, std::uint8_t{6}}) {
        std::vector<std::uint8_t> transport =
            protocol == 17 ? udp_datagram(1000, 2000, {0, 0, 9, 9}) : tcp_segment(0x10, {}, {0, 0, 9, 9});
        auto b = build_ipv4(protocol, transport);
        // Pick the first payload word so that the whole sum is 0xFFFF.
        const std::size_t word = 14 + 20 + (protocol == 17 ? 8 : 20);
        const std::uint8_t* ip = b->frame + 14;
        std::vector<std::uint8_t> segment(ip + 20, ip + be16(ip + 2));
        const std::uint32_t pseudo = be16(ip + 12) + be16(ip + 14) + be16(ip + 16) + be16(ip + 18) + protocol +
                                     static_cast<std::uint32_t>(segment.size());
        put16(b->frame + word, static_cast<std::uint16_t>(~reference_sum(segment, pseudo)));
        net::refresh_udp_checksum(*b);
        net::refresh_tcp_checksum(*b);
        const std::uint16_t stored = be16(b->frame + 14 + 20 + (protocol == 17 ? 6 : 16));
        EXPECT_EQ(stored, protocol == 17 ? 0xFFFF : 0x0000) << int(protocol);
        EXPECT_TRUE(transport_checksum_ok(*b));
    }
}

// Frames whose headers lie or that are not what the routine serves are left byte for byte
// unchanged, and nothing outside the buffer is touched (ASan builds catch that part).
TEST(net_checksum, malformed_frames_left_unchanged)
{
    struct row {
        const char* what;
        std::uint8_t protocol;
        void (*mutate)(tarnwell::INTERMEDIATE_BUFFER&);
    };
    const row rows[] = {
        {"total length 65535", 6, [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 16, 65535); }},
        {"total length one past the frame area", 17, [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 16, 1501); }},
        {"total length below the header", 1, [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 16, 19); }},
        {"IHL 15 with a short datagram", 6, [](tarnwell::INTERMEDIATE_BUFFER& b) { b.frame[14] = 0x4F; }},
        {"IHL below 5", 17, [](tarnwell::INTERMEDIATE_BUFFER& b) { b.frame[14] = 0x44; }},
        {"TCP shorter than its header", 6, [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 16, 20 + 19); }},
        {"UDP shorter than its header", 17, [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 16, 20 + 7); }},
        {"not IPv4", 17, [](tarnwell::INTERMEDIATE_BUFFER& b) { put16(b.frame + 12, 0x86DD); }},
        {"protocol served by no routine", 47, [](tarnwell::INTERMEDIATE_BUFFER&) {}},
    };
    for (const row& r : rows) {
        auto b = build_ipv4(r.protocol, std::vector<std::uint8_t>(40, 0x5A), {}, 0xAA);
        r.mutate(*b);
        const auto before = clone(*b);
        net::refresh_tcp_checksum(*b);
        net::refresh_udp_checksum(*b);
        net::refresh_icmp_checksum(*b);
        EXPECT_TRUE(same_bytes(*b, *before)) << r.what;
    }
    // IHL below 5 also stops the header checksum (its field would lie outside the header).
    auto b = build_ipv4(6, tcp_segment(0x02));
    b->frame[14] = 0x44;
    const auto before = clone(*b);
    net::refresh_ip_checksum(*b);
    EXPECT_TRUE(same_bytes(*b, *before));
}

// Boundaries of the frame area: a 1500-byte datagram is refreshed; an odd 1499-byte one gets
// its pad byte at the very last frame byte (an odd datagram always ends before 1514).
TEST(net_checksum, datagrams_at_the_frame_area_limit)
{
    auto full = build_ipv4(17, udp_datagram(1, 2, std::vector<std::uint8_t>(1472, 0x33)));
    net::refresh_udp_checksum(*full);
    EXPECT_TRUE(transport_checksum_ok(*full));

    auto odd = build_ipv4(17, udp_datagram(1, 2, std::vector<std::uint8_t>(1471, 0x33)), {}, 0xAA);
    net::refresh_udp_checksum(*odd);
    EXPECT_TRUE(transport_checksum_ok(*odd));
    EXPECT_EQ(odd->frame[1513], 0);
}
