// Loading and unloading corvflt through DriverEntry, attach/restart/pause/detach, OIDs and
// status indications, over the simulated NDIS.
#include <thread>

#include "driver_ndis_test_support.h"

namespace corvflt::ndis::testing {
namespace {

TEST_F(ndis_test, load_registers_the_filter_and_device_and_reads_only_dword_parameters)
{
    S.set_registry_dword(u"MTUDecrement", 80);
    S.set_registry_value(u"StartupMode", nt::REG_NONE + 1 /* REG_SZ */, {'3', 0});
    load_and_open();
    const nt::NDIS_FILTER_DRIVER_CHARACTERISTICS& c = S.characteristics();
    EXPECT_EQ(c.MajorNdisVersion, 6);
    EXPECT_EQ(c.MinorNdisVersion, 20);
    EXPECT_EQ(c.MajorDriverVersion, 3);
    EXPECT_EQ(c.MinorDriverVersion, 32);
    EXPECT_EQ(std::u16string(c.ServiceName.Buffer, c.ServiceName.Length / 2), u"CORVFLT");
    EXPECT_EQ(std::u16string(c.FriendlyName.Buffer, c.FriendlyName.Length / 2), u"Corvane VPN Gateway Filter");
    EXPECT_EQ(S.device_name(), u"\\Device\\CORVFLT");
    EXPECT_EQ(S.link_name(), u"\\DosDevices\\CORVFLT");
    // Set options accepts only this driver's own handle and context.
    EXPECT_EQ(c.SetOptionsHandler(&S, the_binding), nt::NDIS_STATUS_SUCCESS);
    EXPECT_NE(c.SetOptionsHandler(&S, &S), nt::NDIS_STATUS_SUCCESS);

    // MTUDecrement 80: the stack sees 1420, the client list still 1500; a 9000-byte MTU is
    // capped first. The string StartupMode was ignored: mode 0.
    std::uint32_t mtu = 0, lookahead = 0;
    miniport* eth = S.attach("eth0", nt::NdisMedium802_3);
    ASSERT_NE(eth, nullptr);
    S.pause(eth);
    S.restart(eth, 9000, &mtu, &lookahead);
    EXPECT_EQ(mtu, 1420u);
    EXPECT_EQ(lookahead, 128u);
    sim::irp_result* r = ioctl(IOCTL_CORVFLT_GET_ADAPTER_LIST, {}, sizeof(ADAPTER_LIST));
    ADAPTER_LIST list;
    std::memcpy(&list, r->buffer.data(), sizeof(list));
    ASSERT_EQ(list.count, 1u);
    EXPECT_EQ(list.mtus[0], 1500);
    EXPECT_EQ(list.media[0], NDIS_MEDIUM_802_3);
    EXPECT_EQ(0, std::memcmp(list.mac_addresses[0], eth->mac, 6));
    sim::irp_result* m = ioctl(IOCTL_CORVFLT_GET_ADAPTER_MODE, bytes_of(ADAPTER_MODE{list.handles[0], 99}), 12);
    std::uint32_t mode = 99;
    std::memcpy(&mode, m->buffer.data() + 8, 4);
    EXPECT_EQ(mode, 0u);
}

TEST_F(ndis_test, load_failures_leave_nothing_behind)
{
    // Each allocation of the load in turn fails: the binding record, the core's pools.
    for (std::int64_t at = 1; at <= 3; ++at) {
        S.reset();
        S.fail_allocation_at = at;
        EXPECT_NE(S.load(), nt::STATUS_SUCCESS) << "allocation " << at;
        EXPECT_EQ(the_binding, nullptr);
        EXPECT_FALSE(S.registered());
        EXPECT_FALSE(S.device_registered());
        EXPECT_EQ(S.live_pool_allocations(), base_allocations);
    }
    S.fail_allocation_at = 0;
    // An attach that cannot allocate leaves no module and no adapter behind.
    load_and_open();
    S.fail_allocation_at = 1;
    nt::NDIS_STATUS status = 0;
    EXPECT_EQ(S.attach("eth0", nt::NdisMedium802_3, 1500, nullptr, &status), nullptr);
    EXPECT_EQ(status, nt::NDIS_STATUS_RESOURCES);
    sim::irp_result* r = ioctl(IOCTL_CORVFLT_GET_ADAPTER_LIST, {}, sizeof(ADAPTER_LIST));
    EXPECT_EQ(r->buffer[0], 0);
}

TEST_F(ndis_test, startup_mode_diverts_a_new_adapter_until_the_last_handle_closes)
{
    S.set_registry_dword(u"StartupMode", MODE_TUNNEL_SEND | MODE_TUNNEL_RECV);
    load_and_open();
    miniport* eth = S.attach("eth0", nt::NdisMedium802_3);
    S.protocol_send(eth, S.build_chain({frame(60, 1), frame(70, 2)}, 0));
    EXPECT_EQ(queue_size(handle_of("eth0")), 2u);
    EXPECT_TRUE(eth->wire.empty());
    S.release_given_back(eth);
}

TEST_F(ndis_test, protocol_oids_are_forwarded_adjusted_or_refused)
{
    S.set_registry_dword(u"MTUDecrement", 80);
    load_and_open();
    miniport* eth = S.attach("eth0", nt::NdisMedium802_3);
    std::uint32_t value = 0;
    nt::NDIS_OID_REQUEST q{};
    q.Header.Type = nt::NDIS_OBJECT_TYPE_OID_REQUEST;
    q.RequestType = nt::NdisRequestQueryInformation;
    q.DATA.QUERY_INFORMATION.Oid = 0x00010106;  // OID_GEN_MAXIMUM_FRAME_SIZE
    q.DATA.QUERY_INFORMATION.InformationBuffer = &value;
    q.DATA.QUERY_INFORMATION.InformationBufferLength = 4;

    // Pending below: completes upward later with the reduced value and the byte count.
    eth->pend_oids = true;
    eth->oid_answer = {0x28, 0x23, 0, 0};  // 9000
    ASSERT_EQ(S.protocol_oid(eth, &q), nt::NDIS_STATUS_PENDING);
    EXPECT_EQ(S.live_clones(), 1);
    S.complete_pending_oids(eth, nt::NDIS_STATUS_SUCCESS);
    ASSERT_EQ(eth->protocol_completions.size(), 1u);
    EXPECT_EQ(eth->protocol_completions[0].first, &q);
    EXPECT_EQ(value, 1420u);
    EXPECT_EQ(q.DATA.QUERY_INFORMATION.BytesWritten, 4u);

    // At once below.
    eth->pend_oids = false;
    eth->oid_answer = {0xDC, 0x05, 0, 0};  // 1500
    EXPECT_EQ(S.protocol_oid(eth, &q), nt::NDIS_STATUS_SUCCESS);
    EXPECT_EQ(value, 1420u);

    // Offload requests never reach the adapter.
    const std::size_t down = eth->oids_down.size();
    q.DATA.QUERY_INFORMATION.Oid = 0xFC01020D;
    q.DATA.QUERY_INFORMATION.BytesWritten = 77;
    EXPECT_EQ(S.protocol_oid(eth, &q), nt::NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(q.DATA.QUERY_INFORMATION.BytesWritten, 0u);
    EXPECT_EQ(eth->oids_down.size(), down);
}

TEST_F(ndis_test, pause_cancels_and_waits_for_the_drivers_own_oid)
{
    load_and_open();
    miniport* eth = S.attach("eth0", nt::NdisMedium802_3);
    // Offload parameters go down at attach when the adapter reports offloads; here they are
    // asked for by a coalesced frame and the adapter leaves the request pending.
    eth->pend_oids = true;
    ASSERT_EQ(set_mode(handle_of("eth0"), MODE_LISTEN_RECV), nt::STATUS_SUCCESS);
    S.miniport_receive(eth, S.build_chain({frame(3000, 5)}, 1000));
    ASSERT_EQ(eth->pending_oids.size(), 1u);
    EXPECT_EQ(eth->oids_down.back().first, 0xFC01020Cu);
    EXPECT_EQ(eth->stack.size(), 1u);  // the coalesced frame itself passed untouched
    std::atomic<bool> paused{false};
    std::thread pauser([&] {
        S.pause(eth);
        paused = true;
    });
    while (eth->cancels == 0)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(paused.load());
    S.complete_pending_oids(eth, static_cast<nt::NDIS_STATUS>(0xC0000120));
    pauser.join();
    EXPECT_TRUE(paused.load());
    S.return_indications(eth);
    S.release_given_back(eth);
}

TEST_F(ndis_test, wan_line_up_is_reduced_recorded_and_passed_up_as_the_adapters_record)
{
    S.set_registry_dword(u"MTUDecrement", 100);
    load_and_open();
    miniport* wan = S.attach("wan0", nt::NdisMediumWan);
    std::uint8_t protocol[40];
    for (std::uint8_t i = 0; i < sizeof(protocol); ++i)
        protocol[i] = i;
    nt::NDIS_WAN_LINE_UP up{};
    up.LinkSpeed = 1000;
    up.MaximumTotalSize = 1500;
    std::memcpy(up.RemoteAddress, "\x20\x00\x01\x02\x03\x04", 6);
    std::memcpy(up.LocalAddress, "\x20\x00\x0A\x0B\x0C\x0D", 6);
    up.ProtocolBufferLength = sizeof(protocol);
    up.ProtocolBuffer = protocol;
    const std::uint64_t event = S.create_event();
    ASSERT_EQ(ioctl(IOCTL_CORVFLT_SET_WAN_EVENT, bytes_of(event))->status, nt::STATUS_SUCCESS);
    S.indicate_status(wan, 0x40010008, &up, sizeof(up));
    ASSERT_EQ(wan->statuses.size(), 1u);
    EXPECT_EQ(wan->statuses[0].code, 0x40010008u);
    ASSERT_EQ(wan->statuses[0].buffer.size(), sizeof(up));  // the adapter's record, not a copy
    EXPECT_EQ(up.MaximumTotalSize, 1400u);
    EXPECT_EQ(S.signals(event), 1u);
    sim::irp_result* r = ioctl(IOCTL_CORVFLT_GET_WAN_LINKS, bytes_of(handle_of("wan0")), sizeof(WAN_LINKS));
    ASSERT_EQ(r->status, nt::STATUS_SUCCESS);
    WAN_LINKS links;
    std::memcpy(&links, r->buffer.data(), sizeof(links));
    ASSERT_EQ(links.count, 1u);
    EXPECT_EQ(links.links[0].maximum_total_size, 1400u);
    EXPECT_EQ(0, std::memcmp(links.links[0].protocol_buffer, protocol, sizeof(protocol)));

    // Line down is edited on a copy; statuses the core does not know pass as they came.
    nt::NDIS_WAN_LINE_DOWN down{};
    std::memcpy(down.RemoteAddress, up.RemoteAddress, 6);
    std::memcpy(down.LocalAddress, up.LocalAddress, 6);
    S.indicate_status(wan, 0x40010009, &down, sizeof(down));
    std::uint32_t other = 7;
    S.indicate_status(wan, 0x40010001, &other, sizeof(other));
    ASSERT_EQ(wan->statuses.size(), 3u);
    EXPECT_EQ(wan->statuses[2].code, 0x40010001u);
    EXPECT_EQ(S.signals(event), 2u);
}

}  // namespace
}  // namespace corvflt::ndis::testing
