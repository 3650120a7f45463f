// dual_packet_filter over the in-process driver: verdicts within a slot and to the
// partner, start on a running slot, removal of a filtered adapter, stop/start under
// traffic, a driver that goes away, and no driver at all.

#include "tarnwell/dual_packet_filter.h"

#include <algorithm>
#include <new>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "filter_test_support.h"

namespace {

using namespace tarnwell;
using tarnwell_test::fake_driver;
using tarnwell_test::probe_device;
using tarnwell_test::tag_of;
using tarnwell_test::tagged_frame;
using tarnwell_test::wait_until;
using action = dual_packet_filter::packet_action;

std::vector<std::uint16_t> sorted(std::vector<std::uint16_t> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

// Tag: 0x100 outgoing or 0x200 incoming, plus `round`; the low byte is the verdict.
void feed_verdicts(fake_driver& d, corvflt::adapter_context* a, std::uint16_t round)
{
    std::vector<std::vector<std::uint8_t>> outgoing, incoming;
    for (std::uint16_t verdict = 0; verdict <= 5; ++verdict) {
        outgoing.push_back(tagged_frame(static_cast<std::uint16_t>((0x100 | round) | verdict)));
        incoming.push_back(tagged_frame(static_cast<std::uint16_t>((0x200 | round) | verdict)));
    }
    d.feed(a, DIRECTION_OUTGOING, outgoing);
    d.feed(a, DIRECTION_INCOMING, incoming);
}

TEST(tarnwell_dual_filter, verdicts_reach_own_and_partner_adapter_and_stack)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{dual_a}");
    corvflt::adapter_context* b = d.attach("\\DEVICE\\{dual_b}");
    dual_packet_filter filter(d.device());
    std::atomic<std::uint64_t> wrong_handle{0};
    const auto by_tag = [&](std::uint64_t handle, INTERMEDIATE_BUFFER& buffer) {
        if (handle != a->handle())
            wrong_handle = handle;
        return static_cast<action>(tag_of(buffer) & 0xFF);
    };
    ASSERT_TRUE(filter.set_callbacks(0, by_tag, by_tag));
    ASSERT_TRUE(filter.start_filter(a->handle(), 0));
    ASSERT_TRUE(filter.start_filter(b->handle(), 1));  // no callbacks: passes

    feed_verdicts(d, a, 0);
    ASSERT_TRUE(wait_until([&] {
        return d.sent_count(a) == 2 && d.indicated_count(a) == 2 && d.sent_count(b) == 2 &&
               d.indicated_count(b) == 2;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // pass 0, revert 2 on the own adapter; route 3, route_revert 4 on the partner's;
    // drop 1 and the unnamed 5 nowhere.
    EXPECT_EQ(sorted(d.sent_tags(a)), (std::vector<std::uint16_t>{0x100, 0x202}));
    EXPECT_EQ(sorted(d.indicated_tags(a)), (std::vector<std::uint16_t>{0x102, 0x200}));
    EXPECT_EQ(sorted(d.sent_tags(b)), (std::vector<std::uint16_t>{0x103, 0x204}));
    EXPECT_EQ(sorted(d.indicated_tags(b)), (std::vector<std::uint16_t>{0x104, 0x203}));

    // With the partner stopped its packets are dropped and slot 0 keeps working.
    ASSERT_TRUE(filter.stop_filter(1));
    EXPECT_TRUE(filter.IsAdapterModeZero(b->handle()));
    EXPECT_EQ(filter.slot_adapter(1), 0u);
    feed_verdicts(d, a, 0x1000);
    ASSERT_TRUE(wait_until([&] { return d.sent_count(a) == 4 && d.indicated_count(a) == 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(d.sent_count(b), 2u);
    EXPECT_EQ(d.indicated_count(b), 2u);
    EXPECT_EQ(sorted(d.sent_tags(a)),
              (std::vector<std::uint16_t>{0x100, 0x202, 0x1100, 0x1202}));
    EXPECT_EQ(wrong_handle.load(), 0u);
    // Callbacks cannot change under a running slot.
    EXPECT_FALSE(filter.set_callbacks(0, nullptr, nullptr));
}

// Posts as the Linux daemon serves them: held back and carried out in order just before
// the next request, or by complete_posted -- the buffers a batch names are read only then.
class deferring_device final : public platform::control_device {
public:
    explicit deferring_device(std::unique_ptr<platform::control_device> inner) : inner_(std::move(inner)) {}

    std::uint32_t control(std::uint32_t code, const void* input, std::uint32_t input_length, void* output,
                          std::uint32_t output_length, std::uint32_t* bytes_returned) override
    {
        std::lock_guard lock(mutex_);
        run_posted();
        return inner_->control(code, input, input_length, output, output_length, bytes_returned);
    }
    std::uint32_t post(std::uint32_t code, const void* input, std::uint32_t input_length) override
    {
        std::lock_guard lock(mutex_);
        const auto* bytes = static_cast<const std::uint8_t*>(input);
        posted_.push_back({code, std::vector<std::uint8_t>(bytes, bytes + input_length)});
        return platform::error_success;
    }
    void complete_posted() override
    {
        std::lock_guard lock(mutex_);
        run_posted();
    }
    std::size_t unfinished()
    {
        std::lock_guard lock(mutex_);
        return posted_.size();
    }

private:
    void run_posted()
    {
        for (auto& [code, input] : posted_)
            inner_->control(code, input.data(), static_cast<std::uint32_t>(input.size()), nullptr, 0, nullptr);
        posted_.clear();
    }

    std::unique_ptr<platform::control_device> inner_;
    std::mutex mutex_;
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> posted_;
};

// With re-injection posted, every packet still reaches the adapter or stack its verdict
// names, and a stopped slot leaves nothing posted that could still read its buffers.
TEST(tarnwell_dual_filter, posted_reinjection_delivers_every_verdict_and_nothing_stays_posted_after_stop)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{post_a}");
    corvflt::adapter_context* b = d.attach("\\DEVICE\\{post_b}");
    auto owned = std::make_unique<deferring_device>(d.device());
    deferring_device& device = *owned;
    dual_packet_filter filter(std::move(owned));
    const auto by_tag = [](std::uint64_t, INTERMEDIATE_BUFFER& buffer) {
        return static_cast<action>(tag_of(buffer) & 0xFF);
    };
    ASSERT_TRUE(filter.set_callbacks(0, by_tag, by_tag));
    const auto without_probes = [](std::vector<std::uint16_t> tags) {
        std::erase(tags, std::uint16_t{0x700});
        return sorted(tags);
    };
    const auto delivered = [&] {
        return d.sent_count(a) + d.indicated_count(a) + d.indicated_count(b) + without_probes(d.sent_tags(b)).size();
    };
    for (std::uint16_t round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(filter.start_filter(a->handle(), 0));
        ASSERT_TRUE(filter.start_filter(b->handle(), 1));
        const std::size_t before = delivered();
        feed_verdicts(d, a, static_cast<std::uint16_t>(round << 12));
        // A batch's sends wait for the next request on the handle: probes through the
        // partner slot make its thread read again.
        ASSERT_TRUE(wait_until([&] {
            d.feed(b, DIRECTION_OUTGOING, {tagged_frame(0x700)});
            return delivered() >= before + 8;
        }));
        ASSERT_TRUE(filter.stop_filter(0));
        ASSERT_TRUE(filter.stop_filter(1));
        EXPECT_EQ(device.unfinished(), 0u);
    }
    EXPECT_EQ(sorted(d.sent_tags(a)), (std::vector<std::uint16_t>{0x100, 0x202, 0x1100, 0x1202, 0x2100, 0x2202}));
    EXPECT_EQ(sorted(d.indicated_tags(a)), (std::vector<std::uint16_t>{0x102, 0x200, 0x1102, 0x1200, 0x2102, 0x2200}));
    EXPECT_EQ(without_probes(d.sent_tags(b)), (std::vector<std::uint16_t>{0x103, 0x204, 0x1103, 0x1204, 0x2103, 0x2204}));
    EXPECT_EQ(sorted(d.indicated_tags(b)), (std::vector<std::uint16_t>{0x104, 0x203, 0x1104, 0x1203, 0x2104, 0x2203}));
}

TEST(tarnwell_dual_filter, a_callback_that_throws_costs_its_packet_and_nothing_else)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{dual_throws}");
    dual_packet_filter filter(d.device());
    const auto callback = [](std::uint64_t, INTERMEDIATE_BUFFER& buffer) {
        if (tag_of(buffer) == 0x101)
            throw std::bad_alloc();
        return action::pass;
    };
    ASSERT_TRUE(filter.set_callbacks(0, callback, callback));
    ASSERT_TRUE(filter.start_filter(a->handle(), 0));
    d.feed(a, DIRECTION_OUTGOING, {tagged_frame(0x100), tagged_frame(0x101), tagged_frame(0x102)});
    ASSERT_TRUE(wait_until([&] { return d.sent_count(a) == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(sorted(d.sent_tags(a)), (std::vector<std::uint16_t>{0x100, 0x102}));
    EXPECT_EQ(filter.callback_failures(), 1u);
    d.feed(a, DIRECTION_OUTGOING, {tagged_frame(0x103)});
    EXPECT_TRUE(wait_until([&] { return d.sent_count(a) == 3; }));
    filter.stop_filter(0);
}

TEST(tarnwell_dual_filter, start_on_a_running_slot_keeps_it_and_unknown_handles_fail)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{dual_start}");
    auto device = std::make_unique<probe_device>(d.device());
    probe_device* probe = device.get();
    dual_packet_filter filter(std::move(device));

    EXPECT_FALSE(filter.start_filter(a->handle() ^ 0x99, 0));
    EXPECT_FALSE(filter.start_filter(0, 1));
    EXPECT_FALSE(filter.start_filter(a->handle(), 2));
    EXPECT_EQ(filter.slot_adapter(0), 0u);
    EXPECT_EQ(filter.slot_state(0), filter_state::stopped);

    ASSERT_TRUE(filter.start_filter(a->handle(), 0));
    ASSERT_TRUE(filter.start_filter(a->handle(), 0));
    EXPECT_EQ(probe->count(IOCTL_CORVFLT_SET_PACKET_EVENT), 1u);
    EXPECT_EQ(filter.slot_adapter(0), a->handle());
    d.feed(a, DIRECTION_INCOMING, {tagged_frame(9)});
    EXPECT_TRUE(wait_until([&] { return d.indicated_count(a) == 1; }));
    EXPECT_TRUE(filter.stop_filter(0));
    EXPECT_TRUE(filter.stop_filter(0));
}

TEST(tarnwell_dual_filter, a_removed_adapter_stops_its_slot_with_one_console_line)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{dual_gone}");
    corvflt::adapter_context* b = d.attach("\\DEVICE\\{dual_stays}");
    dual_packet_filter filter(d.device());
    std::atomic<int> list_changes{0};
    ASSERT_TRUE(filter.add_list_change_callback([&] { ++list_changes; }));
    std::string friendly;
    for (const auto& adapter : filter.get_adapters()) {
        if (adapter->adapter_handle() == a->handle())
            friendly = adapter->friendly_name();
    }
    ASSERT_TRUE(filter.start_filter(b->handle(), 0));
    ASSERT_TRUE(filter.start_filter(a->handle(), 1));

    testing::internal::CaptureStdout();
    d.detach(a);
    const bool stopped = wait_until([&] { return filter.slot_state(1) == filter_state::stopped; });
    EXPECT_TRUE(wait_until([&] { return list_changes.load() >= 1; }));
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(stopped);
    EXPECT_EQ(output, "[dual_packet_filter] : " + friendly + " : removed. Stopping filter!\n");
    EXPECT_EQ(filter.slot_adapter(1), 0u);
    EXPECT_EQ(filter.slot_state(0), filter_state::running);
    EXPECT_TRUE(wait_until([&] { return filter.get_adapters().size() == 1; }));

    // The other slot still filters.
    d.feed(b, DIRECTION_INCOMING, {tagged_frame(3)});
    EXPECT_TRUE(wait_until([&] { return d.indicated_count(b) == 1; }));

    // A new adapter shows up in the vector while slot 1 is free.
    d.attach("\\DEVICE\\{dual_new}");
    EXPECT_TRUE(wait_until([&] { return filter.get_adapters().size() == 2; }));
}

TEST(tarnwell_dual_filter, stop_and_start_under_traffic_leave_no_thread_and_no_tunnel_mode)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{dual_cycle_a}");
    corvflt::adapter_context* b = d.attach("\\DEVICE\\{dual_cycle_b}");
    dual_packet_filter filter(d.device());
    const auto route_all = [](std::uint64_t, INTERMEDIATE_BUFFER&) { return action::route; };
    ASSERT_TRUE(filter.set_callbacks(0, route_all, route_all));

    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> chains{0};
    std::thread traffic([&] {
        // Long chains: a stop is likely to land while one is being judged.
        const std::vector<std::vector<std::uint8_t>> chain(1500, tagged_frame(7));
        while (!done.load()) {
            d.feed(a, DIRECTION_INCOMING, chain);
            d.feed(b, DIRECTION_OUTGOING, chain);
            d.forget_traffic(a);
            d.forget_traffic(b);
            chains.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    int left_queued = 0;
    for (int cycle = 0; cycle < 200; ++cycle) {
        ASSERT_TRUE(filter.start_filter(a->handle(), 0)) << cycle;
        ASSERT_TRUE(filter.start_filter(b->handle(), 1)) << cycle;
        if (cycle % 16 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(filter.stop_filter(cycle % 2));
        ASSERT_TRUE(filter.stop_filter(1 - cycle % 2));
        ASSERT_TRUE(filter.IsAdapterModeZero(a->handle())) << cycle;
        ASSERT_TRUE(filter.IsAdapterModeZero(b->handle())) << cycle;
        // Once the chains in flight at the stops have ended, nothing may wait in a queue.
        const std::uint64_t judged = chains.load();
        ASSERT_TRUE(wait_until([&] { return chains.load() >= judged + 2; }));
        if (a->queue_count.load() != 0 || b->queue_count.load() != 0)
            ++left_queued;
    }
    EXPECT_EQ(left_queued, 0) << "of 200 stops left packets queued";
    done = true;
    traffic.join();
    // The last stops left nothing behind: no packet waits for the next start, and no buffer
    // of the pools all adapters share stays taken.
    EXPECT_EQ(a->queue_count.load(), 0u);
    EXPECT_EQ(b->queue_count.load(), 0u);
    EXPECT_EQ(d.core.pool().in_use(), 0u);

    d.forget_traffic(a);
    d.forget_traffic(b);
    ASSERT_TRUE(filter.start_filter(a->handle(), 0));
    ASSERT_TRUE(filter.start_filter(b->handle(), 1));
    // A packet gets through again after all of it (routed up b's stack): one probe, no retry.
    EXPECT_TRUE(tarnwell_test::probe_reaches_stack(d, a, b, DIRECTION_INCOMING, 0x5A5A))
        << "queued " << a->queue_count.load() << ", modes " << a->mode.load() << " "
        << b->mode.load() << ", pool " << d.core.pool().free_count();
}

TEST(tarnwell_dual_filter, drains_a_burst_and_ends_its_thread_when_the_driver_goes_away)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{dual_drain}");
    auto device = std::make_unique<probe_device>(d.device());
    probe_device* probe = device.get();
    dual_packet_filter filter(std::move(device));
    ASSERT_TRUE(filter.start_filter(a->handle(), 0));

    constexpr std::size_t burst = 2 * MAXIMUM_PACKET_BLOCK + 3;
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t i = 0; i < burst; ++i)
        frames.push_back(tagged_frame(static_cast<std::uint16_t>(i)));
    // One chain is one signal: the thread must keep reading while batches come back full,
    // and a short batch ends the round without a request that finds the queue empty.
    d.feed(a, DIRECTION_INCOMING, frames);
    ASSERT_TRUE(wait_until([&] { return d.indicated_count(a) == burst; }, std::chrono::seconds(5)));
    const std::vector<std::uint16_t> tags = d.indicated_tags(a);
    for (std::size_t i = 0; i < burst; ++i)
        ASSERT_EQ(tags[i], i) << "order";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(probe->count(IOCTL_CORVFLT_READ_BATCH), 3u);

    probe->lose();
    for (int i = 0; i < 5; ++i) {
        filter.get_adapters()[0]->packet_event().set();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LE(probe->calls_after_loss(), 1u);
    EXPECT_TRUE(filter.stop_filter(0));
    EXPECT_EQ(filter.slot_state(0), filter_state::stopped);
}

TEST(tarnwell_dual_filter, without_a_driver_it_constructs_empty_and_starts_nothing)
{
    dual_packet_filter filter(std::unique_ptr<platform::control_device>{});
    EXPECT_FALSE(filter.IsDriverOpen());
    EXPECT_TRUE(filter.get_adapters().empty());
    EXPECT_FALSE(filter.start_filter(1, 0));
    EXPECT_TRUE(filter.stop_filter(0));
}

}  // namespace
