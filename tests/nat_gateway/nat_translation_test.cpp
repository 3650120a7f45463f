// The four translation callbacks over frames built here: what they rewrite, the checksums
// they leave (checked against an independent reference sum), their verdicts, and what they
// must leave alone.
#include "nat/nat_translation.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "nat_gateway/translator_support.h"

namespace {

using namespace nat_test;
using nat::packet_action;

TEST(nat_translation, host_routed_flows_are_translated_both_ways_with_valid_checksums)
{
    for (const std::uint8_t protocol : {tcp, udp, icmp}) {
        SCOPED_TRACE(static_cast<int>(protocol));
        translator t;
        const frame_spec out = outgoing(protocol);
        auto packet = make_frame(out);
        EXPECT_EQ(t.translation.process_provider_outgoing(1, *packet), packet_action::pass);
        EXPECT_EQ(source_of(*packet), external);
        EXPECT_EQ(destination_of(*packet), remote);
        const std::uint16_t mapped = source_port_of(*packet);
        EXPECT_EQ(mapped, protocol == icmp ? 0 : 10000);
        EXPECT_TRUE(checksums_ok(*packet));

        auto reply = make_frame(reply_to(out, mapped));
        EXPECT_EQ(t.translation.process_provider_incoming(1, *reply), packet_action::pass);
        EXPECT_EQ(destination_of(*reply), client);
        EXPECT_EQ(destination_port_of(*reply), 40000);
        EXPECT_EQ(source_of(*reply), remote);
        EXPECT_TRUE(checksums_ok(*reply));
    }
}

TEST(nat_translation, only_a_bare_syn_opens_a_tcp_flow)
{
    struct row {
        std::uint8_t flags;
        bool creates;
    } rows[] = {{0x02, true}, {0xC2, false}, {0x12, false}, {0x10, false}};
    for (const row& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.flags));
        translator t;
        auto packet = make_frame(outgoing(tcp, r.flags));
        const auto before = net_test::clone(*packet);
        t.translation.process_provider_outgoing(1, *packet);
        EXPECT_EQ(t.tcp_table.size(), r.creates ? 1u : 0u);
        if (!r.creates) {
            EXPECT_TRUE(net_test::same_bytes(*packet, *before)) << "passed on untranslated";
        }
    }
    // Once the SYN made the entry, the rest of the connection follows it.
    translator t;
    auto syn = make_frame(outgoing(tcp, 0x02));
    t.translation.process_provider_outgoing(1, *syn);
    auto ack = make_frame(outgoing(tcp, 0x10));
    t.translation.process_provider_outgoing(1, *ack);
    EXPECT_EQ(source_of(*ack), external);
    EXPECT_EQ(source_port_of(*ack), 10000);
    EXPECT_TRUE(checksums_ok(*ack));
}

TEST(nat_translation, syn_mss_is_clamped_to_the_provider_mtu)
{
    translator t(nullptr, 1400, 1500);
    auto syn = make_frame(outgoing(tcp, 0x02));
    const std::uint32_t length = syn->length;
    t.translation.process_provider_outgoing(1, *syn);
    ASSERT_EQ(syn->length, length + 4) << "an MSS option is inserted";
    const std::uint8_t* option = syn->frame + 34 + 20;
    EXPECT_EQ(option[0], 2);
    EXPECT_EQ(be16(option + 2), 1360);
    EXPECT_TRUE(checksums_ok(*syn));
    EXPECT_EQ(source_of(*syn), external);
}

TEST(nat_translation, replies_without_their_entry_reach_the_host_unchanged)
{
    translator t;
    const frame_spec out = outgoing(tcp);
    auto packet = make_frame(out);
    t.translation.process_provider_outgoing(1, *packet);
    frame_spec wrong_port = reply_to(out, 10001);
    frame_spec wrong_remote = reply_to(out, 10000);
    wrong_remote.source = remote2;
    frame_spec wrong_remote_port = reply_to(out, 10000);
    wrong_remote_port.source_port = 444;
    frame_spec other_protocol = reply_to(out, 10000);
    other_protocol.protocol = udp;
    for (const frame_spec& s : {wrong_port, wrong_remote, wrong_remote_port, other_protocol}) {
        auto reply = make_frame(s);
        const auto before = net_test::clone(*reply);
        EXPECT_EQ(t.translation.process_provider_incoming(1, *reply), packet_action::pass);
        EXPECT_TRUE(net_test::same_bytes(*reply, *before));
    }
}

TEST(nat_translation, every_icmp_message_gets_its_own_identifier_and_errors_map_by_that_field)
{
    translator t;
    std::vector<std::uint16_t> mapped;
    for (int i = 0; i < 3; ++i) {
        auto echo = make_frame(outgoing(icmp));  // same client, same identifier each time
        t.translation.process_provider_outgoing(1, *echo);
        mapped.push_back(source_port_of(*echo));
        EXPECT_TRUE(checksums_ok(*echo));
    }
    EXPECT_EQ(mapped, (std::vector<std::uint16_t>{0, 1, 2}));
    for (const std::uint16_t id : {std::uint16_t{2}, std::uint16_t{0}}) {
        auto reply = make_frame(reply_to(outgoing(icmp), id));
        t.translation.process_provider_incoming(1, *reply);
        EXPECT_EQ(destination_of(*reply), client);
        EXPECT_EQ(destination_port_of(*reply), 40000) << "the client's own identifier comes back";
        EXPECT_TRUE(checksums_ok(*reply));
    }
    // A destination unreachable whose bytes 4-5 happen to read 1 is mapped like an echo reply.
    frame_spec error = reply_to(outgoing(icmp), 1);
    error.icmp_type = 3;
    auto unreachable = make_frame(error);
    t.translation.process_provider_incoming(1, *unreachable);
    EXPECT_EQ(destination_of(*unreachable), client);
}

TEST(nat_translation, probe_sets_the_external_address_once_and_host_traffic_passes)
{
    translator t;
    t.set_external({});
    frame_spec probe;
    probe.protocol = udp;
    probe.source = external;
    probe.destination = net::ip_address_v4{1, 1, 1, 1};
    probe.source_port = 55555;
    probe.destination_port = 53;
    probe.payload = 7;
    auto datagram = make_frame(probe);
    std::memcpy(datagram->frame + 42, "1.1.1.1", 7);
    const auto copy = net_test::clone(*datagram);

    EXPECT_EQ(t.translation.process_provider_outgoing(1, *datagram), packet_action::drop);
    EXPECT_EQ(t.translation.external_address(), external);
    ASSERT_FALSE(t.lines.empty());
    EXPECT_EQ(t.lines.back(), "wintun_nat_gateway: Identified external IPv4 address: 192.0.2.10");
    // Known now: the same datagram is the host's own traffic.
    auto again = net_test::clone(*copy);
    EXPECT_EQ(t.translation.process_provider_outgoing(1, *again), packet_action::pass);
    EXPECT_TRUE(net_test::same_bytes(*again, *copy));
    EXPECT_EQ(t.udp_table.size(), 0u);

    // Something else to 1.1.1.1:53 is no probe.
    translator u;
    u.set_external({});
    auto query = make_frame(probe);
    EXPECT_EQ(u.translation.process_provider_outgoing(1, *query), packet_action::pass);
    EXPECT_EQ(u.translation.external_address(), net::ip_address_v4{});
}

TEST(nat_translation, a_client_datagram_shaped_like_the_probe_does_not_set_the_external_address)
{
    translator t;
    t.set_external({});
    frame_spec forged;
    forged.protocol = udp;
    forged.source = client;  // routed by the host: leaves the provider with its own source
    forged.destination = net::ip_address_v4{1, 1, 1, 1};
    forged.source_port = 55555;
    forged.destination_port = 53;
    forged.payload = 7;
    auto datagram = make_frame(forged);
    std::memcpy(datagram->frame + 42, "1.1.1.1", 7);
    t.translation.process_provider_outgoing(1, *datagram);
    EXPECT_EQ(t.translation.external_address(), net::ip_address_v4{}) << "a client chose the external address";
}

TEST(nat_translation, a_new_flow_without_a_free_port_is_dropped_not_sent_with_its_private_source)
{
    // One external port, and every flow goes to the same remote endpoint: the second client's
    // flow has no port whose replies could be told apart.
    auto clock = std::make_shared<nat::manual_nat_clock>();
    nat::port_nat_table tcp_table{clock, 10000, 10000};
    nat::port_nat_table udp_table{clock, 10000, 10000};
    nat::icmp_nat_table icmp_table{clock};
    routes source;
    std::vector<std::string> lines;
    nat::nat_translation translation(tcp_table, udp_table, icmp_table, source,
                                     [&](const char* line) { lines.emplace_back(line); }, log_level::debug, nullptr);
    nat::translation_settings settings;
    settings.provider_if_index = provider_index;
    settings.provider_addresses = {external};
    settings.provider_mtu = 1500;
    settings.client_mtu = 1500;
    translation.configure(settings);
    for (auto* table : {&tcp_table, &udp_table})
        table->set_external_address(external);
    translation.set_external_address(external);

    for (std::uint8_t protocol : {udp, tcp}) {
        SCOPED_TRACE(protocol == udp ? "UDP" : "TCP SYN");
        auto first = make_frame(outgoing(protocol));
        EXPECT_EQ(translation.process_provider_outgoing(1, *first), packet_action::pass);
        EXPECT_EQ(source_of(*first), external);
        frame_spec other = outgoing(protocol);
        other.source = net::ip_address_v4{10, 66, 0, 3};
        auto second = make_frame(other);
        EXPECT_EQ(translation.process_provider_outgoing(1, *second), packet_action::drop);
    }
    for (int i = 0; i < 100; ++i) {
        frame_spec other = outgoing(udp);
        other.source = net::ip_address_v4{10, 66, 0, 4};
        auto flood = make_frame(other);
        EXPECT_EQ(translation.process_provider_outgoing(1, *flood), packet_action::drop);
    }
    // At most one line a second: this whole test takes well under one, so one line, or two
    // when a second boundary falls inside it.
    const auto said = std::count_if(lines.begin(), lines.end(),
                                    [](const std::string& l) { return l.find("No free external port") != std::string::npos; });
    EXPECT_GE(said, 1);
    EXPECT_LE(said, 2) << "said once per packet";
}

TEST(nat_translation, nothing_is_translated_to_an_unknown_external_address)
{
    translator t;
    t.set_external({});
    for (const std::uint8_t protocol : {tcp, udp, icmp}) {
        auto packet = make_frame(outgoing(protocol));
        const auto before = net_test::clone(*packet);
        EXPECT_EQ(t.translation.process_provider_outgoing(1, *packet), packet_action::pass);
        EXPECT_TRUE(net_test::same_bytes(*packet, *before));
    }
    EXPECT_EQ(t.tcp_table.size() + t.udp_table.size() + t.icmp_table.size(), 0u);
}

TEST(nat_translation, forced_routing_sends_client_packets_out_of_the_provider)
{
    const nat::mac_address local{0x20, 1, 2, 3, 4, 5};
    const nat::mac_address remote_mac{0x20, 9, 8, 7, 6, 5};
    translator t(nullptr, 1492, 1500);

    // Routed by the host: the client side passes everything untouched.
    auto early = make_frame(outgoing(udp));
    EXPECT_EQ(t.translation.process_client_incoming(0, *early), packet_action::pass);
    EXPECT_EQ(source_of(*early), client);

    t.translation.use_forced_routing(local, remote_mac);
    auto packet = make_frame(outgoing(udp));
    EXPECT_EQ(t.translation.process_client_incoming(0, *packet), packet_action::route_revert);
    EXPECT_EQ(source_of(*packet), external);
    EXPECT_TRUE(checksums_ok(*packet));
    EXPECT_EQ(0, std::memcmp(packet->frame, remote_mac.data(), 6));
    EXPECT_EQ(0, std::memcmp(packet->frame + 6, local.data(), 6));

    // Left alone: group destinations and destinations routed elsewhere.
    frame_spec group = outgoing(udp);
    group.destination_mac0 = 0x01;
    frame_spec elsewhere = outgoing(udp);
    elsewhere.destination = local_subnet_host;
    for (const frame_spec& s : {group, elsewhere}) {
        auto p = make_frame(s);
        const auto before = net_test::clone(*p);
        EXPECT_EQ(t.translation.process_client_incoming(0, *p), packet_action::pass);
        EXPECT_TRUE(net_test::same_bytes(*p, *before));
    }

    // The provider side leaves everything but the probe untouched now.
    auto host_forwarded = make_frame(outgoing(udp));
    const auto before = net_test::clone(*host_forwarded);
    EXPECT_EQ(t.translation.process_provider_outgoing(1, *host_forwarded), packet_action::pass);
    EXPECT_TRUE(net_test::same_bytes(*host_forwarded, *before));
}

TEST(nat_translation, forced_routing_answers_oversized_df_packets_with_fragmentation_needed)
{
    translator t(nullptr, 1492, 1500);
    t.translation.use_forced_routing({}, {});
    frame_spec big = outgoing(udp);
    big.payload = 1500 - 20 - 8;  // 1500 bytes of IPv4

    auto with_df = make_frame(big);
    EXPECT_EQ(t.translation.process_client_incoming(0, *with_df), packet_action::revert);
    EXPECT_EQ(with_df->frame[34], 3);  // ICMP destination unreachable
    EXPECT_EQ(with_df->frame[35], 4);  // fragmentation needed
    EXPECT_EQ(be16(with_df->frame + 34 + 6), 1492);
    EXPECT_EQ(destination_of(*with_df), client);
    EXPECT_TRUE(checksums_ok(*with_df));

    big.fragment = 0;
    auto without_df = make_frame(big);
    const auto before = net_test::clone(*without_df);
    EXPECT_EQ(t.translation.process_client_incoming(0, *without_df), packet_action::pass);
    EXPECT_TRUE(net_test::same_bytes(*without_df, *before));
}

TEST(nat_translation, fragments_keep_their_payload_and_a_checksum_valid_for_the_whole_datagram)
{
    translator t;
    // One UDP datagram of 8 + 40 bytes, split after 24 payload bytes (offset 32 = 4 units).
    frame_spec whole = outgoing(udp);
    whole.payload = 40;
    whole.fragment = 0;
    auto reference = make_frame(whole);
    const auto refragment = [](tarnwell::INTERMEDIATE_BUFFER& b, std::uint16_t fragment, unsigned length) {
        std::uint8_t* ip = b.frame + 14;
        put16(ip + 2, 20 + length);
        put16(ip + 6, fragment);
        put16(ip + 10, 0);
        put16(ip + 10, static_cast<std::uint16_t>(~net_test::reference_sum({ip, ip + 20})));
        b.length = 14 + 20 + length;
    };
    auto first = net_test::clone(*reference);
    refragment(*first, 0x2000, 32);  // more fragments follow
    auto second = net_test::clone(*reference);
    std::memmove(second->frame + 34, reference->frame + 34 + 32, 16);
    refragment(*second, 4, 16);
    const auto second_before = net_test::clone(*second);

    t.translation.process_provider_outgoing(1, *first);
    t.translation.process_provider_outgoing(1, *second);
    EXPECT_EQ(source_of(*first), external);
    EXPECT_EQ(source_of(*second), external);
    EXPECT_TRUE(net_test::ip_checksum_ok(*second));
    EXPECT_EQ(0, std::memcmp(second->frame + 34, second_before->frame + 34, 16)) << "payload untouched";
    EXPECT_EQ(t.udp_table.size(), 1u) << "the trailing fragment's payload is no header";

    // Reassembled: the first fragment's header and payload, then the second's bytes.
    std::vector<std::uint8_t> datagram(first->frame + 34, first->frame + 34 + 32);
    datagram.insert(datagram.end(), second->frame + 34, second->frame + 34 + 16);
    std::uint32_t pseudo = 0;
    const std::uint8_t* ip = first->frame + 14;
    pseudo = be16(ip + 12) + be16(ip + 14) + be16(ip + 16) + be16(ip + 18) + udp + 48u;
    EXPECT_EQ(net_test::reference_sum(datagram, pseudo), 0xFFFF);
}

TEST(nat_translation, every_callback_captures_every_frame_first)
{
    const std::string file = testing::TempDir() + "nat_translation_capture.pcap";
    {
        auto capture = std::make_shared<pcap::pcap_file_storage>(file);
        translator t(capture);
        auto a = make_frame(outgoing(udp));
        auto b = make_frame(outgoing(udp));
        auto c = make_frame(reply_to(outgoing(udp), 10000));
        auto d = make_frame(outgoing(udp));
        d->frame[12] = 0x86;  // not IPv4: still captured
        t.translation.process_client_outgoing(0, *a);
        t.translation.process_client_incoming(0, *b);
        t.translation.process_provider_incoming(1, *c);
        t.translation.process_provider_outgoing(1, *d);
    }
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::size_t frame = 14 + 20 + 8 + 10;
    EXPECT_EQ(bytes.size(), 24 + 4 * (16 + frame));
    std::remove(file.c_str());
}

TEST(nat_translation, malformed_frames_pass_untouched)
{
    translator t;
    auto short_header = make_frame(outgoing(udp));
    short_header->frame[14] = 0x44;  // IHL 4
    auto too_long = make_frame(outgoing(tcp));
    put16(too_long->frame + 16, 1600);  // total length beyond the frame area
    auto truncated_tcp = make_frame(outgoing(tcp));
    put16(truncated_tcp->frame + 16, 20 + 12);  // a TCP header cut short
    for (auto* p : {short_header.get(), too_long.get(), truncated_tcp.get()}) {
        const auto before = net_test::clone(*p);
        EXPECT_EQ(t.translation.process_provider_outgoing(1, *p), packet_action::pass);
        EXPECT_EQ(t.translation.process_provider_incoming(1, *p), packet_action::pass);
        EXPECT_TRUE(net_test::same_bytes(*p, *before));
    }
    EXPECT_EQ(t.tcp_table.size() + t.udp_table.size(), 0u);
}

}  // namespace
