#pragma once
// Watches rtnetlink link messages in corvflt's namespace and reports each stack-side
// interface that appears, changes IFF_UP or disappears to linux_host::link_changed.
// Runs on its own thread, which is then the lifecycle thread; main starts it after the
// initial attach and stops it before shutdown.

#include <string>
#include <thread>

#include "driver/linux/linux_host.h"

namespace corvflt::linux_host {

class link_watch {
public:
    explicit link_watch(linux_host& host);
    ~link_watch();
    link_watch(const link_watch&) = delete;
    link_watch& operator=(const link_watch&) = delete;

    bool start(std::string* error);
    void stop();

private:
    void run();
    void resync();
    void handle(const void* message, unsigned length);

    linux_host& host_;
    int netlink_fd_ = -1;
    int stop_fd_ = -1;
    std::thread thread_;
};

}  // namespace corvflt::linux_host
