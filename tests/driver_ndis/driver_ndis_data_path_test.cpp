// NET_BUFFER_LIST chains through the binding: what passes stays the same NBL, what the core
// takes is completed or returned, what it re-injects travels in the binding's own NBLs and
// comes back to its pool; pause waits for them.
#include <future>
#include <thread>

#include "driver_ndis_test_support.h"

namespace corvflt::ndis::testing {
namespace {

std::vector<std::vector<std::uint8_t>> frames(std::uint32_t n, std::uint32_t seed)
{
    std::vector<std::vector<std::uint8_t>> out;
    for (std::uint32_t i = 0; i < n; ++i)
        out.push_back(frame(60 + (i * 37 + seed) % 1455, static_cast<std::uint8_t>(i + seed)));
    return out;
}

TEST_F(ndis_test, chains_of_1_to_600_multi_mdl_frames_pass_divert_and_copy_intact)
{
    load_and_open();
    miniport* a = S.attach("eth0", nt::NdisMedium802_3);
    miniport* b = S.attach("eth1", nt::NdisMedium802_3);
    const std::uint64_t ha = handle_of("eth0");
    ASSERT_EQ(set_mode(ha, MODE_TUNNEL_SEND | MODE_LISTEN_RECV), nt::STATUS_SUCCESS);
    user_records out(600);
    for (std::uint32_t n : {1u, 7u, 128u, 129u, 600u}) {
        SCOPED_TRACE(n);
        const auto sent = frames(n, n);
        const auto received = frames(n, n + 1);
        // eth1 is untouched (mode 0): the very NBLs go down and come back.
        nt::NET_BUFFER_LIST* chain = S.build_chain(sent, 97);
        S.protocol_send(b, chain);
        ASSERT_EQ(b->sent_down.size(), n);
        EXPECT_EQ(b->sent_down[0], chain);
        S.complete_sends(b);
        EXPECT_EQ(b->completed_to_protocol.size(), n);

        // eth0 diverts sends: all completed to the protocol, nothing on the wire, all queued.
        S.protocol_send(a, S.build_chain(sent, 97));
        EXPECT_TRUE(a->wire.empty());
        ASSERT_EQ(a->completed_to_protocol.size(), n);
        for (auto& [nbl, status] : a->completed_to_protocol)
            EXPECT_EQ(status, nt::NDIS_STATUS_SUCCESS);
        // eth0 copies receives: the NBLs go up as they are and a copy of each is queued.
        S.miniport_receive(a, S.build_chain(received, 200));
        ASSERT_EQ(a->indicated_up.size(), n);
        EXPECT_EQ(queue_size(ha), 2 * n);

        // Read them back in batches of up to 600: the sends first, in order, then the receives.
        for (int pass = 0; pass < 2; ++pass) {
            std::vector<std::uint64_t> addresses(n);
            for (std::uint32_t i = 0; i < n; ++i)
                addresses[i] = out.address(i);
            std::vector<std::uint8_t> request(16 + 8 * n);
            std::memcpy(request.data(), &ha, 8);
            std::memcpy(request.data() + 8, &n, 4);
            std::memcpy(request.data() + 16, addresses.data(), 8 * n);
            sim::irp_result* r = ioctl(IOCTL_CORVFLT_READ_BATCH, request, static_cast<std::uint32_t>(request.size()));
            ASSERT_EQ(r->status, nt::STATUS_SUCCESS);
            const auto& expected = pass == 0 ? sent : received;
            for (std::uint32_t i = 0; i < n; ++i) {
                ASSERT_EQ(out.frame_of(i), expected[i]) << "frame " << i;
                const std::uint32_t direction = out.records[i].direction;
                EXPECT_EQ(direction, pass == 0 ? DIRECTION_OUTGOING : DIRECTION_INCOMING);
            }
        }
        S.return_indications(a);
        S.release_given_back(a);
        S.release_given_back(b);
        a->wire.clear();
        a->stack.clear();
    }
    EXPECT_EQ(S.live_nbls(), 0);
}

TEST_F(ndis_test, an_nbl_the_core_partly_takes_is_completed_and_its_passing_frames_go_as_copies)
{
    load_and_open();
    miniport* a = S.attach("eth0", nt::NdisMedium802_3);
    ASSERT_EQ(set_mode(handle_of("eth0"), MODE_LISTEN_SEND), nt::STATUS_SUCCESS);
    // An empty NB is consumed; the frames around it pass (copied to the queue as well).
    const auto f1 = frame(100, 1), f3 = frame(1514, 3);
    nt::NET_BUFFER_LIST* nbl = S.build_multi({f1, {}, f3}, 64);
    S.protocol_send(a, nbl);
    ASSERT_EQ(a->completed_to_protocol.size(), 1u);
    EXPECT_EQ(a->completed_to_protocol[0].first, nbl);
    ASSERT_EQ(a->wire.size(), 2u);
    EXPECT_EQ(a->wire[0].data, f1);
    EXPECT_EQ(a->wire[1].data, f3);
    EXPECT_NE(a->sent_down[0], nbl);  // the binding's own NBLs
    EXPECT_EQ(queue_size(handle_of("eth0")), 2u);
    S.complete_sends(a);  // back to the binding's pool, not to the protocol
    EXPECT_EQ(a->completed_to_protocol.size(), 1u);
    S.release_given_back(a);
}

TEST_F(ndis_test, injection_builds_ip_medium_nbls_and_pause_waits_for_their_return)
{
    load_and_open();
    miniport* tun = S.attach("wintun", nt::NdisMediumIP);
    const std::uint64_t h = handle_of("wintun");
    user_records in(2);
    // A client frame for an IP medium: 14 zero bytes, EtherType, then the IP packet.
    const auto packet = ip_packet(120, 9);
    in.records[0].length = 14 + 120;
    in.records[0].frame[12] = 0x08;
    std::memcpy(in.records[0].frame + 14, packet.data(), packet.size());
    in.records[0].ieee8021q = 0x5;
    PACKET_REQUEST request{h, in.address(0)};
    ASSERT_EQ(ioctl(IOCTL_CORVFLT_SEND_TO_STACK, bytes_of(request))->status, nt::STATUS_SUCCESS);
    ASSERT_EQ(tun->stack.size(), 1u);
    EXPECT_EQ(tun->stack[0].data, packet);
    EXPECT_EQ(tun->stack[0].frame_type, 0x0800);
    EXPECT_TRUE(tun->stack[0].nbl_flags & nt::NDIS_NBL_FLAGS_IS_IPV4);
    EXPECT_EQ(tun->stack[0].ieee8021q, 0x5u);
    ASSERT_EQ(ioctl(IOCTL_CORVFLT_SEND_TO_ADAPTER, bytes_of(request))->status, nt::STATUS_SUCCESS);
    ASSERT_EQ(tun->wire.size(), 1u);

    // Pause holds until both driver NBLs are back.
    std::atomic<bool> paused{false};
    std::thread pauser([&] {
        S.pause(tun);
        paused = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_FALSE(paused.load());
    S.complete_sends(tun);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_FALSE(paused.load());
    S.return_indications(tun);
    pauser.join();

    // Paused: sends complete at once with NDIS_STATUS_PAUSED, receives go back, and the
    // adapter is unknown to clients.
    S.protocol_send(tun, S.build_chain({ip_packet(60, 1)}, 0, 0x0800));
    ASSERT_EQ(tun->completed_to_protocol.size(), 1u);
    EXPECT_EQ(tun->completed_to_protocol[0].second, nt::NDIS_STATUS_PAUSED);
    S.miniport_receive(tun, S.build_chain({ip_packet(60, 2)}, 0, 0x0800));
    EXPECT_EQ(tun->returned_to_miniport.size(), 1u);
    EXPECT_EQ(ioctl(IOCTL_CORVFLT_SEND_TO_STACK, bytes_of(request))->status, nt::STATUS_INVALID_PARAMETER);
    S.release_given_back(tun);
    S.restart(tun, 1500);
}

// A receive the core has judged is not done: the frames that passed inside an NBL it partly
// took still go up as the binding's copies. Pause must wait for that, or the copies would be
// indicated by a paused filter, and returned after NDIS may have detached it.
TEST_F(ndis_test, pause_waits_for_a_receive_still_copying_its_passing_frames)
{
    load_and_open();
    miniport* a = S.attach("eth0", nt::NdisMedium802_3);
    ASSERT_EQ(set_mode(handle_of("eth0"), MODE_LISTEN_RECV), nt::STATUS_SUCCESS);
    // The empty NB is consumed, the frame behind it passes: one copy to build and indicate.
    const auto passing = frame(100, 1);
    nt::NET_BUFFER_LIST* nbl = S.build_multi({{}, passing}, 0);
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    S.nbl_allocation_hook = [&] {
        if (first.exchange(false)) {
            entered.set_value();
            released.wait();
        }
    };
    std::thread receiver([&] { S.miniport_receive(a, nbl); });
    entered.get_future().wait();
    auto paused = std::async(std::launch::async, [&] { S.pause(a); });
    EXPECT_EQ(paused.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
    release.set_value();
    receiver.join();
    // The copy went up while pausing; pause returns once the protocols gave it back.
    while (paused.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        S.return_indications(a);
    paused.get();
    S.nbl_allocation_hook = nullptr;
    ASSERT_EQ(a->stack.size(), 1u);
    EXPECT_TRUE(a->stack[0].from_filter);
    EXPECT_EQ(a->stack[0].data, passing);
    S.release_given_back(a);
}

TEST_F(ndis_test, receives_with_the_resources_flag_leave_the_miniports_chain_intact)
{
    load_and_open();
    miniport* a = S.attach("eth0", nt::NdisMedium802_3);
    ASSERT_EQ(set_mode(handle_of("eth0"), MODE_TUNNEL_RECV), nt::STATUS_SUCCESS);
    nt::NET_BUFFER_LIST* chain = S.build_chain(frames(5, 3), 50);
    S.miniport_receive(a, chain, true);
    // Nothing indicated (all diverted), nothing returned (the miniport keeps them), links intact.
    EXPECT_TRUE(a->stack.empty());
    EXPECT_TRUE(a->returned_to_miniport.empty());
    std::uint32_t n = 0;
    for (nt::NET_BUFFER_LIST* p = chain; p; p = nt::NET_BUFFER_LIST_NEXT_NBL(p))
        ++n;
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(queue_size(handle_of("eth0")), 5u);
    S.free_chain(chain);
}

}  // namespace
}  // namespace corvflt::ndis::testing
