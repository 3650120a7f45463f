#include "net/ip_address.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

in6_addr v6(std::initializer_list<unsigned> words)
{
    std::uint8_t bytes[16] = {};
    int i = 0;
    for (unsigned w : words) {
        bytes[2 * i] = static_cast<std::uint8_t>(w >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(w);
        ++i;
    }
    in6_addr a;
    std::memcpy(&a, bytes, 16);
    return a;
}

std::string parsed_v6(const char* text)
{
    in6_addr a;
    if (!net::parse_ipv6(text, std::strlen(text), a))
        return "<invalid>";
    return net::to_string(a);
}

std::string parsed_v4(const char* text)
{
    net::ip_address_v4 a;
    if (!net::parse_ipv4(text, std::strlen(text), a))
        return "<invalid>";
    return net::to_string(a);
}

}  // namespace

TEST(net_address_text, ipv4)
{
    EXPECT_EQ(net::to_string(net::ip_address_v4(0, 0, 0, 0)), "0.0.0.0");
    EXPECT_EQ(net::to_string(net::ip_address_v4(255, 255, 255, 255)), "255.255.255.255");
    EXPECT_EQ(net::to_string(net::ip_address_v4(10, 0, 100, 7)), "10.0.100.7");
    // The first octet is the lowest-addressed byte, as in in_addr.
    const std::uint8_t wire[4] = {192, 168, 1, 20};
    EXPECT_EQ(net::to_string(net::ip_address_v4::from_bytes(wire)), "192.168.1.20");
}

TEST(net_address_text, ipv6)
{
    const struct {
        in6_addr address;
        const char* text;
    } rows[] = {
        {v6({}), "::"},
        {v6({0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
        {v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), "2001:db8::1"},
        {v6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"},  // one zero group stays
        {v6({1, 0, 0, 2, 0, 0, 0, 3}), "1:0:0:2::3"},                    // longest run
        {v6({1, 0, 0, 2, 0, 0, 3, 4}), "1::2:0:0:3:4"},                  // first of equal runs
        {v6({1, 2, 3, 4, 5, 6, 7, 0}), "1:2:3:4:5:6:7:0"},
        {v6({1, 0, 0, 0, 0, 0, 0, 0}), "1::"},
        {v6({0xfe80, 0, 0, 0, 0x1c2d, 0x3e4f, 0xabcd, 0xef01}), "fe80::1c2d:3e4f:abcd:ef01"},
        {v6({0x2001, 0x4860, 0x4860, 0, 0, 0, 0, 0x8888}), "2001:4860:4860::8888"},
        // IPv4 tails where Windows prints them.
        {v6({0, 0, 0, 0, 0, 0xffff, 0x0102, 0x0304}), "::ffff:1.2.3.4"},
        {v6({0, 0, 0, 0, 0xffff, 0, 0x0102, 0x0304}), "::ffff:0:1.2.3.4"},
        {v6({0, 0, 0, 0, 0, 0, 0x0102, 0x0304}), "::1.2.3.4"},
        {v6({0xfe80, 0, 0, 0, 0, 0x5efe, 0x0a00, 0x0001}), "fe80::5efe:10.0.0.1"},
        {v6({0xfe80, 0, 0, 0, 0x200, 0x5efe, 0xc0a8, 0x0101}), "fe80::200:5efe:192.168.1.1"},
        {v6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}),
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(net::to_string(r.address), r.text);
        EXPECT_EQ(parsed_v6(r.text), r.text) << "round trip";
    }
}

// Strict dotted quad; the address ends at the first character that cannot continue it.
TEST(net_address_parse, ipv4)
{
    const struct {
        const char* text;
        const char* result;
    } rows[] = {
        {"1.2.3.4", "1.2.3.4"},
        {"0.0.0.0", "0.0.0.0"},
        {"255.255.255.255", "255.255.255.255"},
        {"1.2.3.4 junk", "1.2.3.4"},
        {"1.2.3.4x", "1.2.3.4"},
        {"1.2.3.4:53", "1.2.3.4"},
        {"1.2.3.4.5", "1.2.3.4"},
        {"1.2.3", "<invalid>"},
        {"1.2.3.", "<invalid>"},
        {"1.2.3.256", "<invalid>"},
        {"1.2.3.4444", "<invalid>"},
        {"01.2.3.4", "<invalid>"},
        {"1.2.3.04", "<invalid>"},
        {"1..2.3", "<invalid>"},
        {"0x1.2.3.4", "<invalid>"},
        {"1.2.3.-4", "<invalid>"},
        {" 1.2.3.4", "<invalid>"},
        {"16909060", "<invalid>"},
        {"", "<invalid>"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(parsed_v4(r.text), r.result) << '"' << r.text << '"';
}

TEST(net_address_parse, ipv6)
{
    const struct {
        const char* text;
        const char* result;
    } rows[] = {
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"2001:DB8::A", "2001:db8::a"},
        {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
        {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
        {"::ffff:10.1.2.3", "::ffff:10.1.2.3"},
        {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
        {"fe80::1%12", "fe80::1"},
        {"2001:db8::1 trailing", "2001:db8::1"},
        {"1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8"},
        {"::g", "::"},
        {":1", "<invalid>"},
        {"1:", "<invalid>"},
        {"1:2", "<invalid>"},
        {"1::2::3", "<invalid>"},
        {"12345::", "<invalid>"},
        {"1::12345", "<invalid>"},
        {"1:2:3:4::5:6:7:8", "<invalid>"},
        {"1:2:3:4:5:6:7:1.2.3.4", "<invalid>"},
        {"::1.2.3", "<invalid>"},
        {"::01.2.3.4", "<invalid>"},
        {"[::1]", "<invalid>"},
        {"", "<invalid>"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(parsed_v6(r.text), r.result) << '"' << r.text << '"';
}

TEST(net_address_parse, address_list)
{
    auto list = net::parse_address_list("192.0.2.53, 2001:db8::53,not-an-address");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list[0].is_v4());
    EXPECT_EQ(list[0].index, 0u);
    EXPECT_EQ(net::to_string(list[0]), "192.0.2.53");
    EXPECT_TRUE(list[1].is_v6());
    EXPECT_EQ(list[1].index, 1u);
    EXPECT_EQ(net::to_string(list[1]), "2001:db8::53");

    EXPECT_TRUE(net::parse_address_list("").empty());
    EXPECT_TRUE(net::parse_address_list(",,, ").empty());

    // Spaces are skipped after a comma only; trailing text ends an address.
    list = net::parse_address_list("1.1.1.1 ,,   9.9.9.9x, ::1 ,x, 8.8.8.8");
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(net::to_string(list[0]), "1.1.1.1");
    EXPECT_EQ(net::to_string(list[1]), "9.9.9.9");
    EXPECT_EQ(net::to_string(list[2]), "::1");
    EXPECT_EQ(net::to_string(list[3]), "8.8.8.8");
    EXPECT_TRUE(net::parse_address_list(" 1.1.1.1").empty());
}
