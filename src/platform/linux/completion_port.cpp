#include "platform/completion_port.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

#include "platform/linux/overlapped_socket_state.h"

namespace platform {

using namespace linux_backend;

// The emulated port: a queue of finished operations and posted packets, and an epoll
// reactor thread that finishes operations that had to wait. Sockets are registered
// edge-triggered for both directions once, at association; every edge makes the reactor
// retry the socket's waiting operations, and an attempt that would block waits for the
// next edge. A spurious edge (e.g. for a reused descriptor number) only costs a retry.
struct completion_port::state {
    int epoll_fd = -1;
    int wake_fd = -1;  // ends the reactor
    std::thread reactor;
    std::atomic<bool> stopping{false};

    std::mutex mutex;  // guards queue
    std::condition_variable ready;
    std::deque<completion> queue;

    void run_reactor();
};

namespace linux_backend {

void queue_completion(completion_port::state* port, const completion& c)
{
    {
        std::lock_guard lock(port->mutex);
        port->queue.push_back(c);
    }
    port->ready.notify_one();
}

bool watch(completion_port::state* port, int fd)
{
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.fd = fd;
    return ::epoll_ctl(port->epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void unwatch(completion_port::state* port, int fd)
{
    ::epoll_ctl(port->epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
}

}  // namespace linux_backend

void completion_port::state::run_reactor()
{
    epoll_event events[64];
    while (!stopping.load(std::memory_order_acquire)) {
        const int n = ::epoll_wait(epoll_fd, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wake_fd)
                continue;
            auto socket = find_socket(fd);
            if (!socket)
                continue;
            std::lock_guard lock(socket->mutex);
            if (socket->closed || socket->port != this)
                continue;
            progress_receives(*socket);
            progress_sends(*socket);
        }
    }
}

completion_port::completion_port() : state_(std::make_unique<state>())
{
    state_->epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    state_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = state_->wake_fd;
    if (state_->epoll_fd < 0 || state_->wake_fd < 0 ||
        ::epoll_ctl(state_->epoll_fd, EPOLL_CTL_ADD, state_->wake_fd, &ev) != 0) {
        error_ = errno_to_win32(errno);
        if (state_->epoll_fd >= 0)
            ::close(state_->epoll_fd);
        if (state_->wake_fd >= 0)
            ::close(state_->wake_fd);
        state_.reset();
        return;
    }
    state_->reactor = std::thread([s = state_.get()] { s->run_reactor(); });
}

completion_port::~completion_port()
{
    if (!state_)
        return;
    state_->stopping.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(state_->wake_fd, &one, sizeof one);
    state_->reactor.join();
    detach_port(state_.get());
    ::close(state_->epoll_fd);
    ::close(state_->wake_fd);
}

bool completion_port::valid() const { return state_ != nullptr; }

bool completion_port::associate(socket_handle s, std::uintptr_t key)
{
    if (!state_ || s > 0x7FFFFFFFu)
        return false;
    const int fd = static_cast<int>(s);
    auto socket = std::make_shared<socket_state>(fd);
    socket->port = state_.get();
    socket->key = key;
    // Registered before it is watched, so the first edge already finds it.
    if (!add_socket(socket))
        return false;
    if (!watch(state_.get(), fd)) {
        remove_socket(fd);
        return false;
    }
    return true;
}

bool completion_port::post(std::uint32_t bytes, std::uintptr_t key, overlapped* ov)
{
    if (!state_)
        return false;
    completion c;
    c.dequeued = true;
    c.success = true;
    c.bytes = bytes;
    c.key = key;
    c.ov = ov;
    queue_completion(state_.get(), c);
    return true;
}

completion completion_port::dequeue(std::uint32_t timeout_ms)
{
    completion none;
    if (!state_)
        return none;
    std::unique_lock lock(state_->mutex);
    auto has_packet = [this] { return !state_->queue.empty(); };
    if (timeout_ms == wait_forever) {
        state_->ready.wait(lock, has_packet);
    } else if (!state_->ready.wait_for(lock, std::chrono::milliseconds(timeout_ms), has_packet)) {
        none.error = error_wait_timeout;
        return none;
    }
    completion c = state_->queue.front();
    state_->queue.pop_front();
    return c;
}

}  // namespace platform
