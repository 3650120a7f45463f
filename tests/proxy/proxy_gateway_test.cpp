// The proxy gateway's packet callbacks and proxy selection over the in-process driver, with
// the system's proxy discovery replaced by a script. Nothing is started: the callbacks are
// called directly, as the filter would.

// First: the driver's status names must be declared before windows.h turns them into macros.
#include "tarnwell/filter_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "dns_test_support.h"  // tests/dns
#include "redirect_frames.h"
#include "net/byte_order.h"
#include "net/checksum.h"
#include "net/headers.h"
#include "proxy/wintun_proxy_gateway.h"

namespace {

using action = tarnwell::queued_packet_filter::packet_action;
using namespace redirect_test;

struct gateway_rig {
    tarnwell_test::fake_driver driver;
    dns_test::captured_log log;
    std::shared_ptr<std::mutex> discovery_mutex = std::make_shared<std::mutex>();
    std::shared_ptr<proxy::proxy_list> proxies = std::make_shared<proxy::proxy_list>();
    std::shared_ptr<std::chrono::steady_clock::time_point> now =
        std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    std::unique_ptr<proxy::wintun_proxy_gateway> gateway;

    explicit gateway_rig(std::size_t tcp_destination_capacity = 262144)
    {
        driver.attach("corvane", tarnwell::NDIS_MEDIUM_IP);
        proxy::proxy_gateway_environment e;
        e.tcp_destination_capacity = tcp_destination_capacity;
        e.open_device = [this] { return driver.device(); };
        e.clock = [t = now] { return *t; };
        e.discover_proxies = [m = discovery_mutex, p = proxies](proxy::proxy_list& out) {
            std::lock_guard lock(*m);
            out = *p;
            return true;
        };
        e.dns.host_servers = [](platform::host_dns_servers& out) {
            out = {};
            out.ipv4.push_back(net::ip_address_v4(127, 0, 0, 66).to_in_addr());
            return true;
        };
        gateway = std::make_unique<proxy::wintun_proxy_gateway>("corvane", log.printer(), log_level::debug, nullptr,
                                                                std::vector<net::ip_address_any>{}, e);
        gateway->tcp_redirection().set_local_address(wintun);
        gateway->udp_redirection().set_local_address(wintun);
    }
    void use(proxy::proxy_list list)
    {
        {
            std::lock_guard lock(*discovery_mutex);
            *proxies = std::move(list);
        }
        gateway->update_proxy();
    }
};

frame_spec from_client(std::uint8_t protocol, std::uint16_t port, std::uint8_t flags = net::tcp_flag_syn)
{
    frame_spec s;
    s.protocol = protocol;
    s.source = client;
    s.destination = web;
    s.source_port = 50000;
    s.destination_port = port;
    s.tcp_flags = flags;
    s.payload = protocol == nat_test::udp ? 48 : 0;
    return s;
}

proxy::proxy_list_entry entry(proxy::proxy_kind kind, net::ip_address_v4 address, std::uint16_t port)
{
    return proxy::proxy_list_entry{kind, {net::ip_address_any(address)}, port};
}

TEST(proxy_gateway, tcp_goes_to_the_server_the_proxy_configuration_selects)
{
    gateway_rig rig;
    auto& g = *rig.gateway;
    EXPECT_EQ(rig.log.count("Local TCP proxy is listening port: " + std::to_string(g.tcp_port())), 1u);

    auto direct = make_frame(from_client(nat_test::tcp, 80));
    EXPECT_EQ(g.on_client_packet(1, *direct), action::pass);
    EXPECT_EQ(destination_of(*direct), wintun);
    EXPECT_EQ(destination_port_of(*direct), g.tcp_port());
    EXPECT_TRUE(checksums_ok(*direct));
    EXPECT_EQ(g.tcp_destination_count(), 1u);
    EXPECT_EQ(rig.log.count("Redirecting TCP 10.9.0.2 : 50000 -> 203.0.113.5 : 80"), 1u);

    rig.use({entry(proxy::proxy_kind::ftp, {10, 0, 0, 9}, 21), entry(proxy::proxy_kind::socks, {10, 0, 0, 5}, 1080)});
    EXPECT_EQ(rig.log.count("Switching to Proxy: 10.0.0.5 : 1080"), 1u);
    frame_spec other = from_client(nat_test::tcp, 443);
    other.source_port = 50001;
    auto socks = make_frame(other);
    g.on_client_packet(1, *socks);
    EXPECT_EQ(destination_port_of(*socks), g.socks_tcp_port());

    // The first connection stays where it started, both ways.
    auto data = make_frame(from_client(nat_test::tcp, 80, net::tcp_flag_ack));
    g.on_client_packet(1, *data);
    EXPECT_EQ(destination_port_of(*data), g.tcp_port());
    frame_spec reply_spec;
    reply_spec.source = wintun;
    reply_spec.destination = client;
    reply_spec.source_port = g.tcp_port();
    reply_spec.destination_port = 50000;
    auto reply = make_frame(reply_spec);
    EXPECT_EQ(g.on_server_packet(1, *reply), action::pass);
    EXPECT_EQ(source_of(*reply), web);
    EXPECT_EQ(source_port_of(*reply), 80);

    rig.use({entry(proxy::proxy_kind::http, {10, 0, 0, 4}, 3128)});
    EXPECT_EQ(g.tcp_redirection().proxy_port(), g.http_tcp_port());
    EXPECT_EQ(g.udp_redirection().proxy_port(), g.udp_port()) << "an HTTP proxy carries no UDP";
    rig.use({});
    EXPECT_EQ(g.tcp_redirection().proxy_port(), g.tcp_port());
}

TEST(proxy_gateway, udp_dns_ntp_and_what_is_not_redirected)
{
    gateway_rig rig;
    auto& g = *rig.gateway;

    auto datagram = make_frame(from_client(nat_test::udp, 7777));
    EXPECT_EQ(g.on_client_packet(1, *datagram), action::pass);
    EXPECT_EQ(destination_port_of(*datagram), g.udp_port());
    EXPECT_EQ(datagram->length, 14u + 20 + 8 + 58);
    EXPECT_EQ(g.udp_client_count(), 1u);

    // DNS goes to the forwarder and not on: the frame is dropped here.
    auto dns_query = make_frame(from_client(nat_test::udp, 53));
    EXPECT_EQ(g.on_client_packet(1, *dns_query), action::drop);

    // NTP is answered on the spot.
    auto ntp_spec = from_client(nat_test::udp, 123);
    auto ntp = make_frame(ntp_spec);
    ntp->frame[42] = 0x23;  // version 4, mode 3 (client)
    net::refresh_udp_checksum(*ntp);
    EXPECT_EQ(g.on_client_packet(1, *ntp), action::revert);
    EXPECT_EQ(source_of(*ntp), web);
    EXPECT_EQ(destination_of(*ntp), client);

    auto broadcast_spec = from_client(nat_test::udp, 7777);
    broadcast_spec.destination_mac0 = 0xFF;
    broadcast_spec.source_port = 40001;
    auto broadcast = make_frame(broadcast_spec);
    EXPECT_EQ(g.on_client_packet(1, *broadcast), action::pass);
    EXPECT_EQ(destination_of(*broadcast), web);

    auto icmp = make_frame(from_client(nat_test::icmp, 0));
    EXPECT_EQ(g.on_client_packet(1, *icmp), action::pass);
    EXPECT_EQ(destination_of(*icmp), web);

    auto later_fragment_spec = from_client(nat_test::udp, 7777);
    later_fragment_spec.fragment = 0x0010;
    auto later_fragment = make_frame(later_fragment_spec);
    EXPECT_EQ(g.on_client_packet(1, *later_fragment), action::pass);
    EXPECT_EQ(destination_of(*later_fragment), web);

    auto ipv6 = make_frame(from_client(nat_test::udp, 7777));
    ipv6->frame[12] = 0x86;
    ipv6->frame[13] = 0xDD;
    EXPECT_EQ(g.on_client_packet(1, *ipv6), action::pass);

    // Too long for the header: dropped rather than sent past the proxy.
    auto big_spec = from_client(nat_test::udp, 7777);
    big_spec.payload = 1463;
    auto big = make_frame(big_spec);
    EXPECT_EQ(g.on_client_packet(1, *big), action::drop);
    EXPECT_EQ(rig.log.count("Dropped a UDP datagram too long for the redirect header"), 1u);
}

TEST(proxy_gateway, destinations_of_connections_that_never_reach_a_server_expire)
{
    gateway_rig rig;
    auto syn = make_frame(from_client(nat_test::tcp, 80));
    rig.gateway->on_client_packet(1, *syn);
    EXPECT_EQ(rig.gateway->tcp_destination_count(), 1u);
    *rig.now += std::chrono::seconds(300);
    rig.gateway->expire_destinations();
    EXPECT_EQ(rig.gateway->tcp_destination_count(), 1u);
    *rig.now += std::chrono::seconds(1);
    rig.gateway->expire_destinations();
    EXPECT_EQ(rig.gateway->tcp_destination_count(), 0u);
}

// A client that follows each SYN with a RST leaves destinations no server takes: the table
// they go into is bounded, and a SYN beyond the bound is dropped rather than let past the
// proxy. A retransmitted SYN of a recorded endpoint still goes through.
TEST(proxy_gateway, destinations_are_bounded_against_syn_and_reset_floods)
{
    gateway_rig rig(2);
    auto& g = *rig.gateway;
    for (std::uint16_t port : {50001, 50002}) {
        frame_spec s = from_client(nat_test::tcp, 80);
        s.source_port = port;
        auto syn = make_frame(s);
        EXPECT_EQ(g.on_client_packet(1, *syn), action::pass);
        EXPECT_EQ(destination_of(*syn), wintun);
        s.tcp_flags = net::tcp_flag_rst;
        auto rst = make_frame(s);
        EXPECT_EQ(g.on_client_packet(1, *rst), action::pass);
    }
    EXPECT_EQ(g.tcp_redirection().size(), 0u) << "the resets ended the redirect entries";
    EXPECT_EQ(g.tcp_destination_count(), 2u);

    frame_spec third = from_client(nat_test::tcp, 80);
    third.source_port = 50003;
    auto syn = make_frame(third);
    EXPECT_EQ(g.on_client_packet(1, *syn), action::drop);
    EXPECT_EQ(destination_of(*syn), web);
    EXPECT_EQ(g.tcp_destination_count(), 2u);
    EXPECT_EQ(g.tcp_redirection().size(), 0u);

    frame_spec again = from_client(nat_test::tcp, 80);
    again.source_port = 50001;
    auto retransmitted = make_frame(again);
    EXPECT_EQ(g.on_client_packet(1, *retransmitted), action::pass);

    *rig.now += std::chrono::seconds(301);
    g.expire_destinations();
    auto later = make_frame(third);
    EXPECT_EQ(g.on_client_packet(1, *later), action::pass);
}

}  // namespace
