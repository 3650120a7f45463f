#include "driver/linux/io_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "driver/linux/log.h"

namespace corvflt::linux_host {

namespace {

// EtherType of a bare IP packet, from its version nibble.
std::uint16_t ip_frame_type(const std::uint8_t* packet, std::uint32_t length)
{
    if (length == 0)
        return 0;
    switch (packet[0] >> 4) {
    case 4: return 0x0800;
    case 6: return 0x86DD;
    default: return 0;
    }
}

}  // namespace

io_loop::io_loop(driver& core, bool stack_side) : core_(core), stack_side_(stack_side) {}

io_loop::~io_loop()
{
    stop();
    if (epoll_fd_ >= 0)
        close(epoll_fd_);
    if (wake_fd_ >= 0)
        close(wake_fd_);
}

bool io_loop::start()
{
    slots_.reset(new (std::nothrow) std::uint8_t[std::size_t{batch_size} * slot_size]);
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!slots_ || epoll_fd_ < 0 || wake_fd_ < 0)
        return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the wake-up
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event) != 0)
        return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void io_loop::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
    thread_.join();
}

int io_loop::read_fd(const host_adapter* adapter) const
{
    return stack_side_ ? adapter->stack.fd : adapter->wire.fd;
}

int io_loop::write_fd(const host_adapter* adapter) const
{
    return stack_side_ ? adapter->wire.fd : adapter->stack.fd;
}

bool io_loop::add(host_adapter* adapter)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = adapter;
    return epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, read_fd(adapter), &event) == 0;
}

void io_loop::remove(host_adapter* adapter)
{
    // ENOENT is fine: the loop drops a device itself once reading it fails.
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, read_fd(adapter), nullptr);
    if (!thread_.joinable())
        return;
    // An event fetched before the DEL may still be in the loop's hands: wait for the
    // iteration in flight (and so any use of `adapter`) to end.
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t seen = iterations_;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
    iteration_done_.wait(lock, [&] { return iterations_ > seen; });
}

void io_loop::run()
{
    epoll_event events[16];
    while (!stopping_) {
        const int ready = epoll_wait(epoll_fd_, events, 16, -1);
        if (ready < 0 && errno != EINTR) {
            log_line("epoll_wait failed: %s (%d)", std::strerror(errno), errno);
            break;
        }
        for (int i = 0; i < ready; ++i) {
            auto* adapter = static_cast<host_adapter*>(events[i].data.ptr);
            if (!adapter) {
                std::uint64_t value;
                [[maybe_unused]] const ssize_t n = read(wake_fd_, &value, sizeof value);
                continue;
            }
            pump(adapter);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++iterations_;
        }
        iteration_done_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    iterations_ += 2;  // releases any remover for good
    iteration_done_.notify_all();
}

void io_loop::pump(host_adapter* adapter)
{
    frame_view views[batch_size];
    frame_fate fates[batch_size];
    const int in = read_fd(adapter);
    const bool ip = adapter->ip_medium();
    std::uint32_t count = 0;
    while (count < batch_size) {
        std::uint8_t* slot = slots_.get() + std::size_t{count} * slot_size;
        const ssize_t n = read(in, slot, slot_size);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                break;
            // The device went away (EBADFD) or failed: stop polling it, otherwise its
            // error would wake this loop forever. The link watch detaches the adapter.
            log_line("%s: reading the %s device failed: %s (%d)", adapter->spec.stack_name.c_str(),
                     stack_side_ ? "stack" : "wire", std::strerror(errno), errno);
            epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, in, nullptr);
            break;
        }
        if (n == 0)
            break;
        frame_view& view = views[count];
        view = frame_view{};
        view.data = slot;
        view.length = static_cast<std::uint32_t>(n);
        if (ip)
            view.frame_type = ip_frame_type(slot, view.length);
        ++count;
    }
    if (count == 0)
        return;
    if (stack_side_)
        core_.on_stack_send(adapter->context, views, count, fates);
    else
        core_.on_wire_receive(adapter->context, views, count, fates);
    const int out = write_fd(adapter);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (fates[i] != frame_fate::pass)
            continue;
        if (write(out, views[i].data, views[i].length) < 0)
            adapter->write_failures.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace corvflt::linux_host
