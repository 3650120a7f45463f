#pragma once
// One data-path thread: an epoll loop over one side (stack or wire) of every adapter. Each
// wake-up reads up to `batch_size` frames from a ready device into buffers the loop owns,
// hands them to the core as one batch and writes the frames it passes on to the other side.
// Nothing is allocated per packet.
//
// add/remove are called by the lifecycle thread; remove returns only once the loop no
// longer touches the adapter (it waits for the loop to finish the iteration in flight).

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "driver/driver.h"
#include "driver/linux/host_adapter.h"

namespace corvflt::linux_host {

class io_loop {
public:
    static constexpr std::uint32_t batch_size = 64;
    // Largest frame a TUN/TAP device can hand us (MTU 65535 plus an Ethernet header).
    static constexpr std::uint32_t slot_size = 65535 + 18;

    // `stack_side` true: reads the stack devices (send path); false: the wire devices.
    io_loop(driver& core, bool stack_side);
    ~io_loop();
    io_loop(const io_loop&) = delete;
    io_loop& operator=(const io_loop&) = delete;

    bool start();
    void stop();
    bool add(host_adapter* adapter);
    void remove(host_adapter* adapter);

private:
    void run();
    void pump(host_adapter* adapter);
    int read_fd(const host_adapter* adapter) const;
    int write_fd(const host_adapter* adapter) const;

    driver& core_;
    const bool stack_side_;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    bool stopping_ = false;  // written before the wake, read by the loop after it
    std::thread thread_;
    std::unique_ptr<std::uint8_t[]> slots_;  // batch_size * slot_size

    std::mutex mutex_;
    std::condition_variable iteration_done_;
    std::uint64_t iterations_ = 0;  // guarded by mutex_
};

}  // namespace corvflt::linux_host
