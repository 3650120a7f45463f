// Fragmented datagrams through the translation callbacks: every fragment of a translated
// datagram follows its first one, in both directions and in forced routing; fragments whose
// first one was not seen are dropped leaving and passed arriving; nothing follows a flood or
// another datagram's record. Also: checksums are carried over, never laundered.
#include <gtest/gtest.h>

#include <vector>

#include "nat_gateway/translator_support.h"

namespace {

using namespace nat_test;
using nat::packet_action;

// A UDP datagram of 8 + 1000 bytes from `from` to `to`, in three fragments (offsets 0, 400, 800).
std::vector<buffer_ptr> three_fragments(frame_spec s, std::uint16_t id = 0x4242)
{
    s.protocol = udp;
    s.payload = 1000;
    s.fragment = 0;
    return split_datagram(*make_frame(s), {400, 400, 208}, id);
}

frame_spec udp_reply(std::uint16_t external_port)
{
    return reply_to(outgoing(udp), external_port);
}

TEST(nat_fragments, a_fragmented_reply_reaches_its_client_whole)
{
    translator t;
    auto request = make_frame(outgoing(udp));
    ASSERT_EQ(t.translation.process_provider_outgoing(1, *request), packet_action::pass);
    const std::uint16_t port = source_port_of(*request);

    auto reply = three_fragments(udp_reply(port));
    std::vector<buffer_ptr> before;
    for (const auto& f : reply)
        before.push_back(net_test::clone(*f));
    for (const auto& f : reply) {
        EXPECT_EQ(t.translation.process_provider_incoming(1, *f), packet_action::pass);
        EXPECT_EQ(destination_of(*f), client);
        EXPECT_EQ(source_of(*f), remote);
    }
    EXPECT_EQ(destination_port_of(*reply[0]), 40000);
    EXPECT_TRUE(reassembled_checksums_ok(reply));
    for (std::size_t i = 1; i < reply.size(); ++i)
        EXPECT_EQ(0, std::memcmp(reply[i]->frame + 34, before[i]->frame + 34, reply[i]->length - 34))
            << "payload of fragment " << i;

    // The host's own fragmented datagram from the same remote (another identification, no
    // flow) reaches the host untouched, every fragment of it.
    auto own = three_fragments(udp_reply(port + 1), 0x5151);
    for (const auto& f : own) {
        const auto copy = net_test::clone(*f);
        t.translation.process_provider_incoming(1, *f);
        EXPECT_TRUE(net_test::same_bytes(*f, *copy));
    }
}

TEST(nat_fragments, a_client_datagram_leaves_whole_and_untracked_fragments_never_leave)
{
    translator t;
    auto datagram = three_fragments(outgoing(udp));
    for (const auto& f : datagram) {
        EXPECT_EQ(t.translation.process_provider_outgoing(1, *f), packet_action::pass);
        EXPECT_EQ(source_of(*f), external);
    }
    EXPECT_EQ(source_port_of(*datagram[0]), 10000);
    EXPECT_TRUE(reassembled_checksums_ok(datagram));
    EXPECT_EQ(t.udp_table.size(), 1u);

    // Fragments with no first fragment seen: another identification, another client, and a
    // datagram whose first fragment comes last. None leaves with a private source.
    auto other_id = three_fragments(outgoing(udp), 0x4343);
    frame_spec other_client = outgoing(udp);
    other_client.source = net::ip_address_v4{10, 66, 0, 3};
    auto other_source = three_fragments(other_client);
    for (const buffer_ptr* f : {&other_id[1], &other_id[2], &other_source[2]}) {
        const auto copy = net_test::clone(**f);
        EXPECT_EQ(t.translation.process_provider_outgoing(1, **f), packet_action::drop);
        EXPECT_TRUE(net_test::same_bytes(**f, *copy));
    }
    // Its first fragment still goes out (a later copy of the rest could follow it).
    EXPECT_EQ(t.translation.process_provider_outgoing(1, *other_id[0]), packet_action::pass);
    EXPECT_EQ(source_of(*other_id[0]), external);
}

TEST(nat_fragments, reordered_reply_fragments_pass_until_their_first_fragment_came)
{
    translator t;
    auto request = make_frame(outgoing(udp));
    t.translation.process_provider_outgoing(1, *request);
    auto reply = three_fragments(udp_reply(10000));

    // The middle fragment first: nothing says which client it is for, so it reaches the host
    // as it came.
    const auto early = net_test::clone(*reply[1]);
    EXPECT_EQ(t.translation.process_provider_incoming(1, *reply[1]), packet_action::pass);
    EXPECT_TRUE(net_test::same_bytes(*reply[1], *early));
    t.translation.process_provider_incoming(1, *reply[0]);
    t.translation.process_provider_incoming(1, *reply[2]);
    EXPECT_EQ(destination_of(*reply[0]), client);
    EXPECT_EQ(destination_of(*reply[2]), client);
    EXPECT_TRUE(net_test::ip_checksum_ok(*reply[2]));
}

TEST(nat_fragments, a_flood_of_first_fragments_leaves_the_newest_datagrams_translatable)
{
    translator t;
    // A client sends endless distinct first fragments (one flow, new identification each).
    for (std::uint32_t n = 0; n < 10 * nat::fragment_tracker::capacity; ++n) {
        auto f = three_fragments(outgoing(udp), static_cast<std::uint16_t>(n));
        t.translation.process_provider_outgoing(1, *f[0]);
    }
    EXPECT_EQ(t.udp_table.size(), 1u);
    // The newest datagram's fragments still follow; a long-evicted one's are dropped.
    const auto last = static_cast<std::uint16_t>(10 * nat::fragment_tracker::capacity - 1);
    auto newest = three_fragments(outgoing(udp), last);
    EXPECT_EQ(t.translation.process_provider_outgoing(1, *newest[2]), packet_action::pass);
    EXPECT_EQ(source_of(*newest[2]), external);
    auto oldest = three_fragments(outgoing(udp), 0);
    EXPECT_EQ(t.translation.process_provider_outgoing(1, *oldest[2]), packet_action::drop);
}

TEST(nat_fragments, forced_routing_sends_every_fragment_out_of_the_provider)
{
    const nat::mac_address local{0x20, 1, 2, 3, 4, 5};
    const nat::mac_address remote_mac{0x20, 9, 8, 7, 6, 5};
    translator t;
    t.translation.use_forced_routing(local, remote_mac);
    auto datagram = three_fragments(outgoing(udp));
    for (const auto& f : datagram) {
        EXPECT_EQ(t.translation.process_client_incoming(0, *f), packet_action::route_revert);
        EXPECT_EQ(source_of(*f), external);
        EXPECT_EQ(0, std::memcmp(f->frame, remote_mac.data(), 6));
    }
    EXPECT_TRUE(reassembled_checksums_ok(datagram));
    auto orphan = three_fragments(outgoing(udp), 0x4444);
    EXPECT_EQ(t.translation.process_client_incoming(0, *orphan[1]), packet_action::drop);

    // A restart forgets every tracked datagram with the flows it belonged to.
    t.translation.configure(nat::translation_settings{provider_index, {external}, 1500, 1500});
    t.translation.use_forced_routing(local, remote_mac);
    auto rest = three_fragments(outgoing(udp));
    EXPECT_EQ(t.translation.process_client_incoming(0, *rest[2]), packet_action::drop);
}

TEST(nat_fragments, checksums_are_carried_over_so_damage_stays_visible)
{
    struct row {
        const char* what;
        std::uint8_t protocol;
        bool damaged;
    } rows[] = {{"tcp intact", tcp, false}, {"tcp damaged", tcp, true}, {"udp damaged", udp, true},
                {"icmp damaged", icmp, true}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        translator t;
        frame_spec s = outgoing(r.protocol);
        s.payload = 1200;
        auto packet = make_frame(s);
        if (r.damaged)
            packet->frame[34 + 100] ^= 0x01;  // a payload bit flipped on the way in
        t.translation.process_provider_outgoing(1, *packet);
        EXPECT_EQ(source_of(*packet), external);
        EXPECT_TRUE(net_test::ip_checksum_ok(*packet));
        EXPECT_EQ(net_test::transport_checksum_ok(*packet), !r.damaged) << "a damaged datagram made valid";
    }
    // A UDP sender that sent no checksum gets none.
    translator t;
    auto unchecked = make_frame(outgoing(udp));
    put16(unchecked->frame + 34 + 6, 0);
    t.translation.process_provider_outgoing(1, *unchecked);
    EXPECT_EQ(be16(unchecked->frame + 34 + 6), 0);
    EXPECT_EQ(source_of(*unchecked), external);
}

}  // namespace
