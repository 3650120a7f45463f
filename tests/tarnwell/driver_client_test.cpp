// CTarnwell without a driver and over the in-process driver.

#include "tarnwell/driver_client.h"

#include <memory>

#include <gtest/gtest.h>

#include "filter_test_support.h"

namespace {

using namespace tarnwell;
using tarnwell_test::fake_driver;
using tarnwell_test::probe_device;

TEST(tarnwell_driver_client, without_a_driver_every_request_fails_without_reaching_it)
{
    // A device name nobody serves, on every platform.
    CTarnwell absent(std::string("\\\\.\\CORVFLT_ABSENT_FOR_TEST"));
    EXPECT_FALSE(absent.IsDriverOpen());

    auto list = std::make_unique<ADAPTER_LIST>();
    auto links = std::make_unique<WAN_LINKS>();
    INTERMEDIATE_BUFFER packet{};
    PACKET_BATCH_REQUEST batch{};
    batch.adapter_handle = 1;
    batch.count = 1;
    batch.buffers[0] = reinterpret_cast<std::uintptr_t>(&packet);
    {
        CTarnwell* client = &absent;
        EXPECT_FALSE(client->QueryAdapterList(*list));
        EXPECT_FALSE(client->ApplyAdapterMode({1, MODE_TUNNEL_SEND}));
        EXPECT_FALSE(client->DropQueuedPackets(1));
        EXPECT_FALSE(client->AttachPacketEvent(1, 0));
        EXPECT_FALSE(client->AttachListChangeEvent(0));
        EXPECT_FALSE(client->QueryWanLinks(1, links.get()));
        EXPECT_FALSE(client->ReadPacketBatch(batch));
        EXPECT_FALSE(client->SendBatchToAdapter(batch));
        EXPECT_FALSE(client->SendBatchToStack(batch));
        EXPECT_FALSE(client->SendPacketToAdapter({1, reinterpret_cast<std::uintptr_t>(&packet)}));
        // No answer counts as "no mode set".
        EXPECT_TRUE(client->IsAdapterModeZero(1));
        EXPECT_FALSE(client->IsDriverLost());
    }
    CTarnwell null_device(std::unique_ptr<platform::control_device>{});
    EXPECT_FALSE(null_device.IsDriverOpen());
    EXPECT_FALSE(null_device.QueryAdapterList(*list));
}

TEST(tarnwell_driver_client, requests_reach_the_driver_and_report_its_answers)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{tarnwell_client}");
    auto device = std::make_unique<probe_device>(d.device());
    probe_device* probe = device.get();
    CTarnwell client(std::move(device));
    ASSERT_TRUE(client.IsDriverOpen());

    auto list = std::make_unique<ADAPTER_LIST>();
    ASSERT_TRUE(client.QueryAdapterList(*list));
    ASSERT_EQ(std::uint32_t{list->count}, 1u);
    EXPECT_EQ(std::uint64_t{list->handles[0]}, a->handle());

    // Mode flags: zero at first, not zero once set, and an unknown handle reads as zero.
    EXPECT_TRUE(client.IsAdapterModeZero(a->handle()));
    EXPECT_TRUE(client.ApplyAdapterMode({a->handle(), MODE_TUNNEL_SEND | MODE_TUNNEL_RECV}));
    EXPECT_FALSE(client.IsAdapterModeZero(a->handle()));
    EXPECT_TRUE(client.IsAdapterModeZero(a->handle() ^ 0x5A5A));
    EXPECT_FALSE(client.ApplyAdapterMode({a->handle() ^ 0x5A5A, 0}));

    // A queued packet is read back through a batch request; an empty queue fails the read.
    d.feed(a, DIRECTION_INCOMING, {tarnwell_test::tagged_frame(0x4242)});
    auto packets = std::make_unique<INTERMEDIATE_BUFFER[]>(MAXIMUM_PACKET_BLOCK);
    PACKET_BATCH_REQUEST one{};
    one.adapter_handle = a->handle();
    one.count = 1;
    one.buffers[0] = reinterpret_cast<std::uintptr_t>(&packets[0]);
    ASSERT_TRUE(client.ReadPacketBatch(one));
    EXPECT_EQ(one.packets_done, 1u);
    EXPECT_EQ(tarnwell_test::tag_of(packets[0]), 0x4242);
    EXPECT_FALSE(client.ReadPacketBatch(one));
    EXPECT_TRUE(client.DropQueuedPackets(a->handle()));

    // Reverting it out of the adapter in a one-packet batch.
    EXPECT_TRUE(client.SendBatchToAdapter(one));
    EXPECT_EQ(d.sent_tags(a), std::vector<std::uint16_t>{0x4242});

    // A driver that went away: the failure is remembered, and counted only once per call.
    probe->lose();
    EXPECT_FALSE(client.QueryAdapterList(*list));
    EXPECT_TRUE(client.IsDriverLost());
    EXPECT_EQ(probe->calls_after_loss(), 1u);
}

}  // namespace
