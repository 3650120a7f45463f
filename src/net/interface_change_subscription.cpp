#include "net/interface_change_subscription.h"

#include <utility>

#include "platform/thread_error.h"

namespace net {

const interface_change_notifier& system_interface_change_notifier()
{
    static const interface_change_notifier notifier{platform::notify_ip_interface_change,
                                                    platform::cancel_ip_interface_change};
    return notifier;
}

interface_change_subscription::interface_change_subscription(change_callback on_change,
                                                             log_method log,
                                                             const interface_change_notifier& notifier)
    : on_change_(std::move(on_change)), log_(std::move(log)), notifier_(notifier)
{
}

interface_change_subscription::~interface_change_subscription()
{
    std::uint32_t expected = 1;
    if (subscribed_.compare_exchange_strong(expected, 0) && handle_)
        notifier_.cancel(handle_);
}

bool interface_change_subscription::set_notify_ip_interface_change()
{
    std::uint32_t expected = 0;
    if (!subscribed_.compare_exchange_strong(expected, 1))
        return false;
    platform::set_thread_error(0);
    platform::interface_change_registration* handle = nullptr;
    const std::uint32_t result = notifier_.notify(on_notification, this, &handle);
    if (result != platform::error_success) {
        // Not subscribed after all: a later set may retry, and a cancel has nothing to end.
        subscribed_.store(0);
        platform::set_thread_error(result);
        if (log_)
            log_("set_notify_ip_interface_change has failed, last error: " + std::to_string(result));
        platform::set_thread_error(result);
        return false;
    }
    handle_ = handle;
    return true;
}

bool interface_change_subscription::cancel_notify_ip_interface_change()
{
    std::uint32_t expected = 1;
    if (!subscribed_.compare_exchange_strong(expected, 0))
        return false;
    const std::uint32_t result = notifier_.cancel(handle_);
    handle_ = nullptr;
    if (result != platform::error_success) {
        platform::set_thread_error(result);
        if (log_)
            log_("cancel_notify_ip_interface_change has failed, last error: " + std::to_string(result));
        platform::set_thread_error(result);
        return false;
    }
    return true;
}

void interface_change_subscription::on_notification(void* context,
                                                    const platform::interface_change& change)
{
    if (!context)
        return;
    auto* self = static_cast<interface_change_subscription*>(context);
    self->in_callback_.fetch_add(1);
    if (self->on_change_)
        self->on_change_(change);
    self->in_callback_.fetch_sub(1);
}

}  // namespace net
