// queued_packet_filter over the in-process driver: verdicts, start refusals, draining of
// more than one batch, stop/start under traffic, and a driver that goes away.

#include "tarnwell/queued_packet_filter.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "filter_test_support.h"

namespace {

using namespace tarnwell;
using tarnwell_test::fake_driver;
using tarnwell_test::probe_device;
using tarnwell_test::tag_of;
using tarnwell_test::tagged_frame;
using tarnwell_test::wait_until;
using action = queued_packet_filter::packet_action;

std::size_t index_of(const queued_packet_filter& filter, corvflt::adapter_context* a)
{
    const auto& adapters = filter.get_adapters();
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        if (adapters[i]->adapter_handle() == a->handle())
            return i;
    }
    return adapters.size();
}

std::vector<std::uint16_t> sorted(std::vector<std::uint16_t> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

TEST(tarnwell_queued_filter, without_a_driver_the_constructor_throws)
{
    try {
        queued_packet_filter filter(nullptr, nullptr, nullptr);
        FAIL() << "constructed without a driver";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Sieveline driver is not available!");
    }
}

// Tag high byte: 1 outgoing, 2 incoming; low byte: the verdict the callback returns.
TEST(tarnwell_queued_filter, verdicts_route_each_packet_and_unknown_ones_drop)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{queued_verdicts}");
    std::atomic<std::uint64_t> wrong_handle{0};
    const auto callback = [&](std::uint64_t handle, INTERMEDIATE_BUFFER& buffer) {
        if (handle != a->handle())
            wrong_handle = handle;
        buffer.frame[20] = 0xEE;  // rewritten in place, seen on the way out
        return static_cast<action>(tag_of(buffer) & 0xFF);
    };
    queued_packet_filter filter(d.device(), callback, callback);
    ASSERT_TRUE(filter.start_filter(index_of(filter, a)));

    std::vector<std::vector<std::uint8_t>> outgoing, incoming;
    for (std::uint16_t verdict = 0; verdict <= 4; ++verdict) {
        outgoing.push_back(tagged_frame(static_cast<std::uint16_t>(0x100 | verdict)));
        incoming.push_back(tagged_frame(static_cast<std::uint16_t>(0x200 | verdict)));
    }
    d.feed(a, DIRECTION_OUTGOING, outgoing);
    d.feed(a, DIRECTION_INCOMING, incoming);

    ASSERT_TRUE(wait_until([&] { return d.sent_count(a) == 2 && d.indicated_count(a) == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    filter.stop_filter();
    // pass: outgoing to the wire, incoming up; revert: the other way; 1, 3 and 4 nowhere.
    EXPECT_EQ(sorted(d.sent_tags(a)), (std::vector<std::uint16_t>{0x100, 0x202}));
    EXPECT_EQ(sorted(d.indicated_tags(a)), (std::vector<std::uint16_t>{0x102, 0x200}));
    EXPECT_EQ(wrong_handle.load(), 0u);
    {
        corvflt::fake::fake_adapter& fa = d.adapters.adapter(a);
        std::lock_guard lock(fa.mutex);
        EXPECT_EQ(fa.sent[0].data[20], 0xEE);
    }
    EXPECT_TRUE(filter.IsAdapterModeZero(a->handle()));
}

TEST(tarnwell_queued_filter, a_callback_that_throws_costs_its_packet_and_nothing_else)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{queued_throws}");
    const auto callback = [](std::uint64_t, INTERMEDIATE_BUFFER& buffer) {
        if (tag_of(buffer) == 0x101)
            throw std::bad_alloc();
        return action::pass;
    };
    queued_packet_filter filter(d.device(), callback, callback);
    ASSERT_TRUE(filter.start_filter(index_of(filter, a)));
    d.feed(a, DIRECTION_OUTGOING, {tagged_frame(0x100), tagged_frame(0x101), tagged_frame(0x102)});
    ASSERT_TRUE(wait_until([&] { return d.sent_count(a) == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(sorted(d.sent_tags(a)), (std::vector<std::uint16_t>{0x100, 0x102}));
    EXPECT_EQ(filter.callback_failures(), 1u);
    // The thread lives on.
    d.feed(a, DIRECTION_OUTGOING, {tagged_frame(0x103)});
    EXPECT_TRUE(wait_until([&] { return d.sent_count(a) == 3; }));
    filter.stop_filter();
}

TEST(tarnwell_queued_filter, start_is_refused_unless_stopped_and_for_unknown_indexes)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{queued_start}");
    queued_packet_filter filter(d.device(), nullptr, nullptr);
    ASSERT_EQ(filter.get_adapters().size(), 1u);
    EXPECT_FALSE(filter.start_filter(1));
    EXPECT_EQ(filter.state(), filter_state::stopped);

    ASSERT_TRUE(filter.start_filter(0));
    EXPECT_FALSE(filter.IsAdapterModeZero(a->handle()));
    EXPECT_FALSE(filter.start_filter(0));
    EXPECT_FALSE(filter.reconfigure());  // the vector stays while threads use it
    EXPECT_EQ(filter.state(), filter_state::running);

    filter.stop_filter();
    EXPECT_EQ(filter.state(), filter_state::stopped);
    EXPECT_TRUE(filter.IsAdapterModeZero(a->handle()));
    d.attach("\\DEVICE\\{queued_start_later}");
    EXPECT_TRUE(filter.reconfigure());
    EXPECT_EQ(filter.get_adapters().size(), 2u);
}

// More than one batch queued by one signal: the reader must not wait for another signal
// that may never come before reading the rest.
TEST(tarnwell_queued_filter, a_burst_of_more_than_one_batch_is_drained_without_new_traffic)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{queued_burst}");
    queued_packet_filter filter(d.device(), nullptr, nullptr);
    ASSERT_TRUE(filter.start_filter(0));

    constexpr std::size_t burst = 3 * MAXIMUM_PACKET_BLOCK + 7;
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t i = 0; i < burst; ++i)
        frames.push_back(tagged_frame(static_cast<std::uint16_t>(i)));
    d.feed(a, DIRECTION_INCOMING, frames);  // one chain: the event is signalled once

    EXPECT_TRUE(wait_until([&] { return d.indicated_count(a) == burst; },
                           std::chrono::seconds(5)))
        << d.indicated_count(a) << " of " << burst;
    filter.stop_filter();
    const std::vector<std::uint16_t> tags = d.indicated_tags(a);
    for (std::size_t i = 0; i < tags.size(); ++i)
        ASSERT_EQ(tags[i], i) << "order";
}

TEST(tarnwell_queued_filter, stop_and_start_under_traffic_leave_no_thread_and_no_tunnel_mode)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{queued_cycles}");
    std::atomic<std::uint32_t> seen{0};
    queued_packet_filter filter(
        d.device(), nullptr, [&](std::uint64_t, INTERMEDIATE_BUFFER&) {
            ++seen;
            return action::pass;
        });

    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> chains{0};
    std::thread traffic([&] {
        // Long chains: a stop is likely to land while one is being judged.
        const std::vector<std::vector<std::uint8_t>> chain(1500, tagged_frame(7));
        while (!done.load()) {
            d.feed(a, DIRECTION_INCOMING, chain);
            d.forget_traffic(a);
            chains.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    int left_queued = 0;
    for (int cycle = 0; cycle < 200; ++cycle) {
        ASSERT_TRUE(filter.start_filter(0)) << cycle;
        if (cycle % 16 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        filter.stop_filter();
        ASSERT_EQ(filter.state(), filter_state::stopped);
        ASSERT_TRUE(filter.IsAdapterModeZero(a->handle())) << cycle;
        // Once the chain in flight at the stop has ended, nothing may wait in the queue.
        const std::uint64_t judged = chains.load();
        ASSERT_TRUE(wait_until([&] { return chains.load() >= judged + 2; }));
        if (a->queue_count.load() != 0)
            ++left_queued;
    }
    EXPECT_EQ(left_queued, 0) << "of 200 stops left packets queued";
    done = true;
    traffic.join();
    EXPECT_GT(seen.load(), 0u);
    // The last stop left nothing behind: no packet waits for the next start, and no buffer
    // of the pools all adapters share stays taken.
    EXPECT_EQ(a->queue_count.load(), 0u);
    EXPECT_EQ(d.core.pool().in_use(), 0u);

    // A packet gets through again after all of it: one probe, no retry.
    d.forget_traffic(a);
    ASSERT_TRUE(filter.start_filter(0));
    EXPECT_TRUE(tarnwell_test::probe_reaches_stack(d, a, a, DIRECTION_INCOMING, 0x5A5A))
        << "queued " << a->queue_count.load() << ", mode " << a->mode.load() << ", pool "
        << d.core.pool().free_count();
}

TEST(tarnwell_queued_filter, a_driver_that_went_away_ends_the_reader_instead_of_reading_on)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{queued_gone}");
    auto device = std::make_unique<probe_device>(d.device());
    probe_device* probe = device.get();
    queued_packet_filter filter(std::move(device), nullptr, nullptr);
    ASSERT_TRUE(filter.start_filter(0));
    d.feed(a, DIRECTION_INCOMING, {tagged_frame(1)});
    ASSERT_TRUE(wait_until([&] { return d.indicated_count(a) == 1; }));

    probe->lose();
    // Each signal would cost one more failed read if the reader carried on.
    for (int i = 0; i < 5; ++i) {
        filter.get_adapters()[0]->packet_event().set();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LE(probe->calls_after_loss(), 1u);
    EXPECT_TRUE(filter.IsDriverLost());
    filter.stop_filter();
    EXPECT_EQ(filter.state(), filter_state::stopped);
}

}  // namespace
