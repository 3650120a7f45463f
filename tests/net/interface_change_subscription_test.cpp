// The subscription contract over a scripted notifier: once-only registration, cancel
// without registration, failures (logged, retryable) and the in-callback counter.
#include "net/interface_change_subscription.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/thread_error.h"

namespace {

struct scripted {
    static inline int notify_calls = 0;
    static inline int cancel_calls = 0;
    static inline std::uint32_t notify_result = 0;
    static inline std::uint32_t cancel_result = 0;
    static inline platform::interface_change_callback callback = nullptr;
    static inline void* context = nullptr;
    static inline platform::interface_change_registration* cancelled = nullptr;

    static void reset()
    {
        notify_calls = cancel_calls = 0;
        notify_result = cancel_result = 0;
        callback = nullptr;
        context = nullptr;
        cancelled = nullptr;
    }
    static std::uint32_t notify(platform::interface_change_callback cb, void* ctx,
                                platform::interface_change_registration** handle)
    {
        ++notify_calls;
        if (notify_result)
            return notify_result;
        callback = cb;
        context = ctx;
        *handle = reinterpret_cast<platform::interface_change_registration*>(0x1234);
        return 0;
    }
    static std::uint32_t cancel(platform::interface_change_registration* handle)
    {
        ++cancel_calls;
        cancelled = handle;
        return cancel_result;
    }
};

const net::interface_change_notifier scripted_notifier{scripted::notify, scripted::cancel};

TEST(InterfaceChangeSubscription, RegistersOnceAndCancelsOnce)
{
    scripted::reset();
    std::vector<std::string> lines;
    net::interface_change_subscription s([](const platform::interface_change&) {},
                                         [&](const std::string& l) { lines.push_back(l); },
                                         scripted_notifier);
    EXPECT_FALSE(s.cancel_notify_ip_interface_change());  // nothing registered
    EXPECT_EQ(scripted::cancel_calls, 0);

    EXPECT_TRUE(s.set_notify_ip_interface_change());
    EXPECT_EQ(scripted::context, &s);
    EXPECT_FALSE(s.set_notify_ip_interface_change());  // already subscribed: nothing registered
    EXPECT_EQ(scripted::notify_calls, 1);

    EXPECT_TRUE(s.cancel_notify_ip_interface_change());
    EXPECT_EQ(scripted::cancelled, reinterpret_cast<platform::interface_change_registration*>(0x1234));
    EXPECT_FALSE(s.cancel_notify_ip_interface_change());
    EXPECT_EQ(scripted::cancel_calls, 1);

    EXPECT_TRUE(s.set_notify_ip_interface_change());  // a new cycle works
    EXPECT_TRUE(lines.empty());
}

TEST(InterfaceChangeSubscription, FailuresAreLoggedWithTheirCodeAndLeaveLastError)
{
    scripted::reset();
    std::vector<std::string> lines;
    net::interface_change_subscription s([](const platform::interface_change&) {},
                                         [&](const std::string& l) { lines.push_back(l); },
                                         scripted_notifier);
    scripted::notify_result = 8;
    EXPECT_FALSE(s.set_notify_ip_interface_change());
    EXPECT_EQ(platform::get_thread_error(), 8u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "set_notify_ip_interface_change has failed, last error: 8");

    // The failed registration left nothing to cancel, and a retry registers.
    EXPECT_FALSE(s.cancel_notify_ip_interface_change());
    EXPECT_EQ(scripted::cancel_calls, 0);
    scripted::notify_result = 0;
    EXPECT_TRUE(s.set_notify_ip_interface_change());
    EXPECT_EQ(platform::get_thread_error(), 0u);

    scripted::cancel_result = 87;
    EXPECT_FALSE(s.cancel_notify_ip_interface_change());
    EXPECT_EQ(platform::get_thread_error(), 87u);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "cancel_notify_ip_interface_change has failed, last error: 87");
    EXPECT_FALSE(s.cancel_notify_ip_interface_change());  // the handle is gone either way
}

TEST(InterfaceChangeSubscription, CallbackCountsItselfAndIgnoresNullContext)
{
    scripted::reset();
    std::int32_t seen_in_progress = -1;
    std::vector<platform::interface_change_kind> kinds;
    net::interface_change_subscription* self = nullptr;
    net::interface_change_subscription s(
        [&](const platform::interface_change& c) {
            seen_in_progress = self->callbacks_in_progress();
            kinds.push_back(c.kind);
        },
        nullptr, scripted_notifier);
    self = &s;
    ASSERT_TRUE(s.set_notify_ip_interface_change());

    platform::interface_change change;
    change.kind = platform::interface_change_kind::deleted;
    scripted::callback(nullptr, change);
    EXPECT_TRUE(kinds.empty());
    scripted::callback(scripted::context, change);
    EXPECT_EQ(kinds, std::vector<platform::interface_change_kind>{platform::interface_change_kind::deleted});
    EXPECT_EQ(seen_in_progress, 1);
    EXPECT_EQ(s.callbacks_in_progress(), 0);
}

TEST(InterfaceChangeSubscription, DestructionCancelsARegistrationLeftInPlace)
{
    scripted::reset();
    {
        net::interface_change_subscription s(nullptr, nullptr, scripted_notifier);
        ASSERT_TRUE(s.set_notify_ip_interface_change());
    }
    EXPECT_EQ(scripted::cancel_calls, 1);
    {
        net::interface_change_subscription s(nullptr, nullptr, scripted_notifier);
    }
    EXPECT_EQ(scripted::cancel_calls, 1);
}

}  // namespace
