#pragma once
// The interface-change subscription a gateway keeps: register once for IP interface
// changes of both address families, cancel, and run the gateway's callback on the system's
// notification thread while counting the callbacks in progress.
//
// Owned by its gateway (a member). `set_notify_ip_interface_change` and
// `cancel_notify_ip_interface_change` are called by the gateway's start/stop paths; the
// callback runs on the system's notification thread. The gateway's stop waits until
// callbacks_in_progress() is 0 before it frees what the callback uses; cancel itself
// already waits for a running callback.
//
// A registration that fails leaves the subscription unsubscribed, so that a later set can
// try again and a cancel does not hand the system a handle it never issued.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/interface_table.h"

namespace net {

// The registration calls of the system; tests substitute their own.
struct interface_change_notifier {
    std::uint32_t (*notify)(platform::interface_change_callback callback, void* context,
                            platform::interface_change_registration** handle);
    std::uint32_t (*cancel)(platform::interface_change_registration* handle);
};

const interface_change_notifier& system_interface_change_notifier();

class interface_change_subscription {
public:
    using change_callback = std::function<void(const platform::interface_change&)>;
    // The gateway's own log method (it adds the gateway's prefix).
    using log_method = std::function<void(const std::string&)>;

    interface_change_subscription(change_callback on_change, log_method log,
                                  const interface_change_notifier& notifier =
                                      system_interface_change_notifier());
    // Cancels a registration still in place.
    ~interface_change_subscription();
    interface_change_subscription(const interface_change_subscription&) = delete;
    interface_change_subscription& operator=(const interface_change_subscription&) = delete;

    // False at once when already subscribed. Otherwise registers: true on success; on
    // failure the error is the thread's last error, the line
    // "set_notify_ip_interface_change has failed, last error: <code>" is logged, and false.
    bool set_notify_ip_interface_change();
    // False when not subscribed. Otherwise cancels: true on success; on failure the error
    // is the thread's last error, "cancel_notify_ip_interface_change has failed, last
    // error: <code>" is logged, and false.
    bool cancel_notify_ip_interface_change();

    std::int32_t callbacks_in_progress() const { return in_callback_.load(); }

    // The callback handed to the system; public for tests. Ignores a null context.
    static void on_notification(void* context, const platform::interface_change& change);

private:
    change_callback on_change_;
    log_method log_;
    const interface_change_notifier& notifier_;
    std::atomic<std::uint32_t> subscribed_{0};
    std::atomic<std::int32_t> in_callback_{0};
    platform::interface_change_registration* handle_ = nullptr;
};

}  // namespace net
