#include "platform/event.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using platform::event;
using platform::event_kind;
using platform::wait_result;

TEST(platform_event, manual_reset_stays_signalled_until_reset)
{
    event e(event_kind::manual_reset);
    ASSERT_TRUE(e.valid());
    EXPECT_EQ(e.error(), 0u);
    EXPECT_NE(e.native_handle(), 0u);

    EXPECT_EQ(e.wait(0), wait_result::timeout);
    ASSERT_TRUE(e.set());
    ASSERT_TRUE(e.set());  // a second set must not leave a second "signal" behind after reset
    EXPECT_EQ(e.wait(0), wait_result::signalled);
    EXPECT_EQ(e.wait(0), wait_result::signalled);
    ASSERT_TRUE(e.reset());
    EXPECT_EQ(e.wait(0), wait_result::timeout);
    ASSERT_TRUE(e.reset());  // reset of an unsignalled event is not an error
    EXPECT_EQ(e.wait(0), wait_result::timeout);

    event initially(event_kind::manual_reset, true);
    EXPECT_EQ(initially.wait(0), wait_result::signalled);
}

TEST(platform_event, auto_reset_releases_one_wait_per_signal)
{
    event e(event_kind::auto_reset);
    ASSERT_TRUE(e.valid());
    EXPECT_EQ(e.wait(0), wait_result::timeout);
    ASSERT_TRUE(e.set());
    ASSERT_TRUE(e.set());  // collapses into one signal, as a Win32 auto-reset event does
    EXPECT_EQ(e.wait(0), wait_result::signalled);
    EXPECT_EQ(e.wait(0), wait_result::timeout);

    ASSERT_TRUE(e.set());
    ASSERT_TRUE(e.reset());
    EXPECT_EQ(e.wait(0), wait_result::timeout);

    event initially(event_kind::auto_reset, true);
    EXPECT_EQ(initially.wait(0), wait_result::signalled);
    EXPECT_EQ(initially.wait(0), wait_result::timeout);
}

TEST(platform_event, wait_times_out_after_roughly_the_timeout_and_wakes_on_set)
{
    event e(event_kind::manual_reset);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(e.wait(60), wait_result::timeout);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    EXPECT_LT(waited, std::chrono::seconds(5));

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        e.set();
    });
    EXPECT_EQ(e.wait(platform::wait_infinite), wait_result::signalled);
    setter.join();
}

TEST(platform_event, auto_reset_wakes_exactly_one_of_several_waiters_per_signal)
{
    event e(event_kind::auto_reset);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (e.wait(1500) == wait_result::signalled)
                ++woken;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int i = 0; i < 2; ++i) {
        e.set();
        // Let one waiter consume before the next set; sets in a row would collapse.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (woken.load() < i + 1 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(platform_event, wait_any_reports_lowest_signalled_index_and_consumes_only_it)
{
    event manual(event_kind::manual_reset);
    event first_auto(event_kind::auto_reset);
    event second_auto(event_kind::auto_reset);
    event* all[] = {&manual, &first_auto, &second_auto};

    EXPECT_EQ(platform::wait_any(all, 3, 0), platform::wait_any_timeout);

    second_auto.set();
    first_auto.set();
    EXPECT_EQ(platform::wait_any(all, 3, 0), 1);
    EXPECT_EQ(platform::wait_any(all, 3, 0), 2);
    EXPECT_EQ(platform::wait_any(all, 3, 0), platform::wait_any_timeout);

    manual.set();
    second_auto.set();
    EXPECT_EQ(platform::wait_any(all, 3, 0), 0);
    EXPECT_EQ(platform::wait_any(all, 3, 0), 0);  // manual stays set
    manual.reset();
    EXPECT_EQ(platform::wait_any(all, 3, 0), 2);  // the auto one was left untouched

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        first_auto.set();
    });
    EXPECT_EQ(platform::wait_any(all, 3, 2000), 1);
    setter.join();
}

TEST(platform_event, wait_any_rejects_bad_arguments)
{
    event a(event_kind::manual_reset, true);
    event moved_from(event_kind::manual_reset);
    event taker(std::move(moved_from));
    event* one[] = {&a};
    event* with_null[] = {&a, nullptr};
    event* with_invalid[] = {&a, &moved_from};
    std::vector<event> many;
    std::vector<event*> too_many;
    for (std::size_t i = 0; i <= platform::max_wait_objects; ++i)
        many.emplace_back(event_kind::manual_reset);
    for (auto& e : many)
        too_many.push_back(&e);

    EXPECT_EQ(platform::wait_any(one, 0, 0), platform::wait_any_failed);
    EXPECT_EQ(platform::wait_any(nullptr, 1, 0), platform::wait_any_failed);
    EXPECT_EQ(platform::wait_any(with_null, 2, 0), platform::wait_any_failed);
    EXPECT_EQ(platform::wait_any(with_invalid, 2, 0), platform::wait_any_failed);
    EXPECT_EQ(platform::wait_any(too_many.data(), too_many.size(), 0), platform::wait_any_failed);
    EXPECT_EQ(platform::wait_any(too_many.data(), platform::max_wait_objects, 0),
              platform::wait_any_timeout);

    EXPECT_FALSE(moved_from.valid());
    EXPECT_EQ(moved_from.native_handle(), 0u);
    EXPECT_FALSE(moved_from.set());
    EXPECT_FALSE(moved_from.reset());
    EXPECT_EQ(moved_from.wait(0), wait_result::failed);
    EXPECT_TRUE(taker.valid());
}

TEST(platform_event, reference_signals_the_event_and_outlives_the_callers_handle)
{
    auto e = std::make_unique<event>(event_kind::manual_reset);
    auto ref = platform::event_reference::from_native(e->native_handle());
    ASSERT_TRUE(ref.valid());
    ASSERT_TRUE(ref.signal());
    EXPECT_EQ(e->wait(0), wait_result::signalled);
    e->reset();

    // The driver keeps its reference after the caller closed its handle.
    e.reset();
    EXPECT_TRUE(ref.signal());

    auto moved = std::move(ref);
    EXPECT_FALSE(ref.valid());
    EXPECT_TRUE(moved.valid());

    EXPECT_FALSE(platform::event_reference::from_native(0).valid());
    EXPECT_FALSE(platform::event_reference::from_native(0x7ffffff0u).valid());
}

}  // namespace
