// The redirect tables of mode proxy over frames built field by field: the rewrites a client
// and the local servers see, what passes untouched, and expiry.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "redirect_frames.h"
#include "net/byte_order.h"
#include "net/checksum.h"
#include "net/headers.h"
#include "proxy/tcp_redirect.h"
#include "proxy/udp_redirect.h"

namespace {

using namespace std::chrono_literals;
using namespace redirect_test;
constexpr std::uint16_t plain_port = 61000;
constexpr auto tcp_rewritten = proxy::tcp_redirect::outcome::rewritten;
constexpr auto tcp_unchanged = proxy::tcp_redirect::outcome::unchanged;
constexpr auto tcp_refused = proxy::tcp_redirect::outcome::refused;

struct manual_clock {
    std::shared_ptr<std::chrono::steady_clock::time_point> now =
        std::make_shared<std::chrono::steady_clock::time_point>();
    proxy::redirect_clock clock() const
    {
        return [now = now] { return *now; };
    }
};

frame_spec tcp_from_client(std::uint8_t flags, net::ip_address_v4 to = web, std::uint16_t port = 80)
{
    frame_spec s;
    s.source = client;
    s.destination = to;
    s.source_port = 50000;
    s.destination_port = port;
    s.tcp_flags = flags;
    return s;
}

frame_spec tcp_from_server(std::uint8_t flags, std::uint16_t server_port = plain_port)
{
    frame_spec s;
    s.source = wintun;
    s.destination = client;
    s.source_port = server_port;
    s.destination_port = 50000;
    s.tcp_flags = flags;
    return s;
}

TEST(proxy_tcp_redirect, a_connection_goes_to_the_local_server_and_its_replies_come_from_the_real_destination)
{
    manual_clock time;
    proxy::tcp_redirect redirect(plain_port, {}, log_level::none, time.clock());
    redirect.set_local_address(wintun);

    auto syn = make_frame(tcp_from_client(net::tcp_flag_syn));
    ASSERT_EQ(redirect.client_to_server(*syn), tcp_rewritten);
    EXPECT_EQ(source_of(*syn), client);
    EXPECT_EQ(source_port_of(*syn), 50000);
    EXPECT_EQ(destination_of(*syn), wintun);
    EXPECT_EQ(destination_port_of(*syn), plain_port);
    EXPECT_TRUE(checksums_ok(*syn));

    auto syn_ack = make_frame(tcp_from_server(net::tcp_flag_syn | net::tcp_flag_ack));
    ASSERT_TRUE(redirect.server_to_client(*syn_ack));
    EXPECT_EQ(source_of(*syn_ack), web);
    EXPECT_EQ(source_port_of(*syn_ack), 80);
    EXPECT_EQ(destination_of(*syn_ack), client);
    EXPECT_EQ(destination_port_of(*syn_ack), 50000);
    EXPECT_TRUE(checksums_ok(*syn_ack));

    // A FIN is still rewritten, then the entry is gone and later segments pass untouched.
    auto fin = make_frame(tcp_from_client(net::tcp_flag_fin | net::tcp_flag_ack));
    EXPECT_EQ(redirect.client_to_server(*fin), tcp_rewritten);
    EXPECT_EQ(destination_port_of(*fin), plain_port);
    EXPECT_EQ(redirect.size(), 0u);
    auto late = make_frame(tcp_from_client(net::tcp_flag_ack));
    EXPECT_EQ(redirect.client_to_server(*late), tcp_unchanged);
    EXPECT_EQ(destination_of(*late), web);
    auto late_reply = make_frame(tcp_from_server(net::tcp_flag_ack));
    EXPECT_FALSE(redirect.server_to_client(*late_reply));
    EXPECT_EQ(source_of(*late_reply), wintun);
}

TEST(proxy_tcp_redirect, a_retransmitted_syn_is_redirected_and_a_new_destination_replaces_the_entry)
{
    manual_clock time;
    proxy::tcp_redirect redirect(plain_port, {}, log_level::none, time.clock());
    redirect.set_local_address(wintun);
    auto first = make_frame(tcp_from_client(net::tcp_flag_syn));
    ASSERT_EQ(redirect.client_to_server(*first), tcp_rewritten);

    // The first copy was lost (say, the accept backlog was full): the second must not leak
    // towards its real destination.
    auto again = make_frame(tcp_from_client(net::tcp_flag_syn));
    ASSERT_EQ(redirect.client_to_server(*again), tcp_rewritten);
    EXPECT_EQ(destination_of(*again), wintun);
    EXPECT_EQ(destination_port_of(*again), plain_port);
    EXPECT_TRUE(checksums_ok(*again));

    // The same endpoint opening a connection elsewhere: the replies must name the new one.
    const net::ip_address_v4 other{198, 51, 100, 7};
    auto elsewhere = make_frame(tcp_from_client(net::tcp_flag_syn, other, 443));
    ASSERT_EQ(redirect.client_to_server(*elsewhere), tcp_rewritten);
    auto reply = make_frame(tcp_from_server(net::tcp_flag_syn | net::tcp_flag_ack));
    ASSERT_TRUE(redirect.server_to_client(*reply));
    EXPECT_EQ(source_of(*reply), other);
    EXPECT_EQ(source_port_of(*reply), 443);
    EXPECT_EQ(redirect.size(), 1u);
}

TEST(proxy_tcp_redirect, a_switch_of_server_leaves_established_connections_on_theirs)
{
    manual_clock time;
    proxy::tcp_redirect redirect(plain_port, {}, log_level::none, time.clock());
    redirect.set_local_address(wintun);
    auto syn = make_frame(tcp_from_client(net::tcp_flag_syn));
    ASSERT_EQ(redirect.client_to_server(*syn), tcp_rewritten);

    redirect.set_proxy_port(62000);  // the proxy configuration now names a SOCKS proxy
    auto data = make_frame(tcp_from_client(net::tcp_flag_ack));
    ASSERT_EQ(redirect.client_to_server(*data), tcp_rewritten);
    EXPECT_EQ(destination_port_of(*data), plain_port);
    auto reply = make_frame(tcp_from_server(net::tcp_flag_ack));
    EXPECT_TRUE(redirect.server_to_client(*reply));
    EXPECT_EQ(source_of(*reply), web);
    // Segments of another local server to that endpoint are not this connection's.
    auto stranger = make_frame(tcp_from_server(net::tcp_flag_ack, 62000));
    EXPECT_FALSE(redirect.server_to_client(*stranger));
}

TEST(proxy_tcp_redirect, entries_idle_for_more_than_three_hundred_seconds_expire)
{
    manual_clock time;
    proxy::tcp_redirect redirect(plain_port, {}, log_level::none, time.clock());
    auto syn = make_frame(tcp_from_client(net::tcp_flag_syn));
    redirect.client_to_server(*syn);
    *time.now += 300s;
    redirect.expire_pass();
    EXPECT_EQ(redirect.size(), 1u) << "300 s is not more than 300 s";
    *time.now += 1ms;
    redirect.expire_pass();
    EXPECT_EQ(redirect.size(), 0u);
}

frame_spec syn_from(net::ip_address_v4 source, std::uint16_t port)
{
    frame_spec s = tcp_from_client(net::tcp_flag_syn);
    s.source = source;
    s.source_port = port;
    return s;
}

// A client opening connection after connection (or a SYN flood from ever new ports) gets
// entries up to its bound, then its SYNs are refused untouched; other clients keep theirs
// up to the table's total, and whatever ends or expires makes room again.
TEST(proxy_tcp_redirect, the_table_is_bounded_per_client_address_and_in_all)
{
    manual_clock time;
    proxy::tcp_redirect redirect(plain_port, {}, log_level::none, time.clock(), proxy::redirect_limits{2, 3});
    redirect.set_local_address(wintun);
    const net::ip_address_v4 second_client{10, 9, 0, 3};
    const net::ip_address_v4 third_client{10, 9, 0, 4};

    auto a1 = make_frame(syn_from(client, 1001));
    auto a2 = make_frame(syn_from(client, 1002));
    ASSERT_EQ(redirect.client_to_server(*a1), tcp_rewritten);
    ASSERT_EQ(redirect.client_to_server(*a2), tcp_rewritten);
    auto a3 = make_frame(syn_from(client, 1003));
    EXPECT_EQ(redirect.client_to_server(*a3), tcp_refused);
    EXPECT_EQ(destination_of(*a3), web) << "a refused SYN is left as it came";
    // A retransmission of a SYN that has its entry is not a new entry.
    auto a1_again = make_frame(syn_from(client, 1001));
    EXPECT_EQ(redirect.client_to_server(*a1_again), tcp_rewritten);

    auto b1 = make_frame(syn_from(second_client, 2001));
    EXPECT_EQ(redirect.client_to_server(*b1), tcp_rewritten);
    auto c1 = make_frame(syn_from(third_client, 3001));
    EXPECT_EQ(redirect.client_to_server(*c1), tcp_refused) << "the table holds 3 in all";
    EXPECT_EQ(redirect.size(), 3u);

    // The client's RST ends one entry: room for its next connection.
    frame_spec reset = syn_from(client, 1001);
    reset.tcp_flags = net::tcp_flag_rst;
    auto rst = make_frame(reset);
    EXPECT_EQ(redirect.client_to_server(*rst), tcp_rewritten);
    auto a3_again = make_frame(syn_from(client, 1003));
    EXPECT_EQ(redirect.client_to_server(*a3_again), tcp_rewritten);

    // Expiry gives everything back.
    *time.now += 301s;
    redirect.expire_pass();
    EXPECT_EQ(redirect.size(), 0u);
    auto c1_again = make_frame(syn_from(third_client, 3001));
    EXPECT_EQ(redirect.client_to_server(*c1_again), tcp_rewritten);
}

frame_spec udp_from_client(std::size_t payload, net::ip_address_v4 to = web, std::uint16_t port = 7777)
{
    frame_spec s;
    s.protocol = nat_test::udp;
    s.source = client;
    s.destination = to;
    s.source_port = 40000;
    s.destination_port = port;
    s.payload = payload;
    return s;
}

TEST(proxy_udp_redirect, a_datagram_carries_its_destination_to_the_server_and_back)
{
    manual_clock time;
    proxy::udp_redirect redirect(61001, {}, log_level::none, time.clock());
    redirect.set_local_address(wintun);
    auto datagram = make_frame(udp_from_client(100));
    const std::vector<std::uint8_t> payload(datagram->frame + 42, datagram->frame + 142);
    ASSERT_TRUE(redirect.is_new_client_endpoint(*datagram));
    EXPECT_FALSE(redirect.is_new_client_endpoint(*datagram));
    ASSERT_EQ(redirect.client_to_server(*datagram), proxy::udp_redirect::outcome::rewritten);
    EXPECT_EQ(datagram->length, 14u + 20 + 8 + 110);
    EXPECT_EQ(net::load_be16(datagram->frame + 38), 8 + 110);
    EXPECT_EQ(destination_of(*datagram), wintun);
    EXPECT_EQ(destination_port_of(*datagram), 61001);
    const std::uint8_t header[10] = {0, 0, 0, 1, 203, 0, 113, 5, 0x1e, 0x61};
    EXPECT_EQ(std::memcmp(datagram->frame + 42, header, 10), 0);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), datagram->frame + 52));
    EXPECT_TRUE(checksums_ok(*datagram));

    // The server's reply: the same header in front, from 10.9.0.1:61001.
    frame_spec r;
    r.protocol = nat_test::udp;
    r.source = wintun;
    r.destination = client;
    r.source_port = 61001;
    r.destination_port = 40000;
    r.payload = 60;
    auto reply = make_frame(r);
    std::memcpy(reply->frame + 42, header, 10);
    net::refresh_udp_checksum(*reply);
    const std::vector<std::uint8_t> answer(reply->frame + 52, reply->frame + 102);
    ASSERT_TRUE(redirect.server_to_client(*reply));
    EXPECT_EQ(source_of(*reply), web);
    EXPECT_EQ(source_port_of(*reply), 7777);
    EXPECT_EQ(reply->length, 14u + 20 + 8 + 50);
    EXPECT_TRUE(std::equal(answer.begin(), answer.end(), reply->frame + 42));
    EXPECT_TRUE(checksums_ok(*reply));
}

// IP payload bytes past the UDP length are not part of the datagram: the rewritten frame
// ends with it, and so must the IP length, or the host sees a datagram longer than its frame.
TEST(proxy_udp_redirect, bytes_past_the_udp_length_are_left_out_of_the_ip_length_both_ways)
{
    manual_clock time;
    proxy::udp_redirect redirect(61001, {}, log_level::none, time.clock());
    redirect.set_local_address(wintun);
    auto datagram = make_frame(udp_from_client(100));
    net::store_be16(datagram->frame + 38, 8 + 20);  // the UDP length claims 20 of the 100 bytes
    ASSERT_TRUE(redirect.is_new_client_endpoint(*datagram));
    ASSERT_EQ(redirect.client_to_server(*datagram), proxy::udp_redirect::outcome::rewritten);
    EXPECT_EQ(datagram->length, 14u + 20 + 8 + 30);
    EXPECT_EQ(net::load_be16(datagram->frame + 16), 20 + 8 + 30);
    EXPECT_EQ(net::load_be16(datagram->frame + 38), 8 + 30);
    EXPECT_TRUE(checksums_ok(*datagram));

    frame_spec r;
    r.protocol = nat_test::udp;
    r.source = wintun;
    r.destination = client;
    r.source_port = 61001;
    r.destination_port = 40000;
    r.payload = 60;
    auto reply = make_frame(r);
    const std::uint8_t header[10] = {0, 0, 0, 1, 203, 0, 113, 5, 0x1e, 0x61};
    std::memcpy(reply->frame + 42, header, 10);
    net::store_be16(reply->frame + 38, 8 + 10 + 20);
    net::refresh_udp_checksum(*reply);
    ASSERT_TRUE(redirect.server_to_client(*reply));
    EXPECT_EQ(reply->length, 14u + 20 + 8 + 20);
    EXPECT_EQ(net::load_be16(reply->frame + 16), 20 + 8 + 20);
    EXPECT_EQ(net::load_be16(reply->frame + 38), 8 + 20);
    EXPECT_TRUE(checksums_ok(*reply));
}

TEST(proxy_udp_redirect, fragments_unknown_endpoints_and_datagrams_without_room_are_not_rewritten)
{
    manual_clock time;
    proxy::udp_redirect redirect(61001, {}, log_level::none, time.clock());
    auto fragment_spec = udp_from_client(100);
    fragment_spec.fragment = 0x2000;  // more fragments
    auto fragment = make_frame(fragment_spec);
    EXPECT_FALSE(redirect.is_new_client_endpoint(*fragment));
    EXPECT_EQ(redirect.client_to_server(*fragment), proxy::udp_redirect::outcome::unchanged);

    auto unknown = make_frame(udp_from_client(100));
    EXPECT_EQ(redirect.client_to_server(*unknown), proxy::udp_redirect::outcome::unchanged);

    // 1462 payload bytes make a 1504-byte frame: the largest that still takes the header.
    auto largest = make_frame(udp_from_client(1462));
    redirect.is_new_client_endpoint(*largest);
    EXPECT_EQ(redirect.client_to_server(*largest), proxy::udp_redirect::outcome::rewritten);
    EXPECT_EQ(largest->length, 1514u);
    EXPECT_TRUE(checksums_ok(*largest));
    auto too_long = make_frame(udp_from_client(1463));
    EXPECT_EQ(redirect.client_to_server(*too_long), proxy::udp_redirect::outcome::too_long);
    EXPECT_EQ(destination_of(*too_long), web) << "left as it was";
}

// Endpoints beyond the bound get no entry, and their datagrams are refused (the gateway
// drops them rather than let them past the proxy) until an entry expires.
TEST(proxy_udp_redirect, the_table_is_bounded_per_client_address_and_in_all)
{
    manual_clock time;
    proxy::udp_redirect redirect(61001, {}, log_level::none, time.clock(), proxy::redirect_limits{2, 3});
    redirect.set_local_address(wintun);
    auto from = [](net::ip_address_v4 source, std::uint16_t port) {
        frame_spec s = udp_from_client(20);
        s.source = source;
        s.source_port = port;
        return make_frame(s);
    };
    const net::ip_address_v4 second_client{10, 9, 0, 3};
    const net::ip_address_v4 third_client{10, 9, 0, 4};
    for (std::uint16_t port : {1001, 1002}) {
        auto d = from(client, port);
        ASSERT_TRUE(redirect.is_new_client_endpoint(*d));
        EXPECT_EQ(redirect.client_to_server(*d), proxy::udp_redirect::outcome::rewritten);
    }
    auto over = from(client, 1003);
    EXPECT_FALSE(redirect.is_new_client_endpoint(*over));
    EXPECT_EQ(redirect.client_to_server(*over), proxy::udp_redirect::outcome::refused);
    EXPECT_EQ(destination_of(*over), web) << "left as it was";

    auto other = from(second_client, 2001);
    EXPECT_TRUE(redirect.is_new_client_endpoint(*other));
    EXPECT_EQ(redirect.client_to_server(*other), proxy::udp_redirect::outcome::rewritten);
    auto beyond_total = from(third_client, 3001);
    EXPECT_FALSE(redirect.is_new_client_endpoint(*beyond_total));
    EXPECT_EQ(redirect.client_to_server(*beyond_total), proxy::udp_redirect::outcome::refused);
    EXPECT_EQ(redirect.size(), 3u);

    *time.now += 901s;
    redirect.expire_pass();
    EXPECT_EQ(redirect.size(), 0u);
    auto later = from(third_client, 3001);
    EXPECT_TRUE(redirect.is_new_client_endpoint(*later));
    EXPECT_EQ(redirect.client_to_server(*later), proxy::udp_redirect::outcome::rewritten);
}

TEST(proxy_udp_redirect, idle_endpoints_expire_after_nine_hundred_seconds_and_the_owner_hears_of_it)
{
    manual_clock time;
    proxy::udp_redirect redirect(61001, {}, log_level::none, time.clock());
    std::vector<net::endpoint_key> told;
    redirect.on_expired([&](const std::vector<net::endpoint_key>& e) { told = e; });
    auto datagram = make_frame(udp_from_client(10));
    redirect.is_new_client_endpoint(*datagram);
    *time.now += 900s;
    redirect.expire_pass();
    EXPECT_TRUE(told.empty());
    *time.now += 1s;
    redirect.expire_pass();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], (net::endpoint_key{client, 40000}));
    EXPECT_EQ(redirect.size(), 0u);
}

}  // namespace
