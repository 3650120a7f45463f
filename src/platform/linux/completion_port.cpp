#include "platform/completion_port.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/linux/overlapped_socket_state.h"

namespace platform {

using namespace linux_backend;

// The emulated port: a queue of finished operations and posted packets, and an epoll set
// of the associated sockets, registered edge-triggered for both directions once. There is
// no reactor thread of its own: a thread waiting in dequeue() with nothing queued polls the
// set itself (one at a time; the others wait on a condition variable), finishes the
// operations the edges let through, and takes the first completion. Every hand-off between
// threads costs a wake-up, and on a relay the thread that saw the edge is the cheapest one
// to run its handler. A spurious edge (e.g. for a reused descriptor number) only costs a
// retry.
struct completion_port::state {
    int epoll_fd = -1;
    int wake_fd = -1;  // interrupts the polling thread when a completion needs a taker

    std::mutex mutex;  // guards everything below
    std::condition_variable ready;
    std::deque<completion> queue;
    bool polling = false;       // a thread is in (or about to enter) epoll_wait
    bool wake_pending = false;  // wake_fd was written and the poller has not read it yet
    int waiters = 0;            // threads blocked on `ready`

    void wake_one_locked(std::unique_lock<std::mutex>& lock);
    void poll_once(int timeout_ms);
};

namespace {

// The port whose dequeue() this thread returns to next: it is running a handler of that
// port's completion or polling its sockets. A completion this thread queues there needs
// nobody woken, since this thread takes it itself in a moment; waking another thread for
// it would only move the work across cores.
thread_local completion_port::state* returning_to = nullptr;

int poll_timeout(bool forever, std::chrono::steady_clock::time_point end)
{
    if (forever)
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now()).count();
    return left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
}

}  // namespace

// Hands queued work to one more thread: a blocked waiter if there is one, else the thread
// in epoll_wait. With neither, every thread of the port is busy and takes it when it returns.
void completion_port::state::wake_one_locked(std::unique_lock<std::mutex>& lock)
{
    if (waiters > 0) {
        lock.unlock();
        ready.notify_one();
        return;
    }
    if (polling && !wake_pending) {
        wake_pending = true;
        lock.unlock();
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t w = ::write(wake_fd, &one, sizeof one);
    }
}

void completion_port::state::poll_once(int timeout_ms)
{
    epoll_event events[64];
    const int n = ::epoll_wait(epoll_fd, events, 64, timeout_ms);
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_fd) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t r = ::read(wake_fd, &value, sizeof value);
            std::lock_guard lock(mutex);
            wake_pending = false;
            continue;
        }
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

namespace linux_backend {

void queue_completion(completion_port::state* port, const completion& c)
{
    std::unique_lock lock(port->mutex);
    port->queue.push_back(c);
    if (returning_to != port)
        port->wake_one_locked(lock);
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
    }
}

completion_port::~completion_port()
{
    if (!state_)
        return;
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
    state& s = *state_;
    const bool forever = timeout_ms == wait_forever;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : timeout_ms);
    returning_to = nullptr;
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (!s.queue.empty()) {
            const completion c = s.queue.front();
            s.queue.pop_front();
            // More queued, or nobody left watching the sockets while this thread runs its
            // handler: one more thread has work.
            if (!s.queue.empty() || !s.polling)
                s.wake_one_locked(lock);
            returning_to = &s;
            return c;
        }
        // A thread whose time is up still polls once (without blocking), so that a zero
        // timeout reports operations the sockets can finish now.
        if (!s.polling) {
            s.polling = true;
            lock.unlock();
            returning_to = &s;
            s.poll_once(poll_timeout(forever, end));
            returning_to = nullptr;
            lock.lock();
            s.polling = false;
            if (s.queue.empty() && !forever && std::chrono::steady_clock::now() >= end) {
                none.error = error_wait_timeout;
                return none;
            }
            continue;
        }
        if (!forever && std::chrono::steady_clock::now() >= end) {
            none.error = error_wait_timeout;
            return none;
        }
        ++s.waiters;
        if (forever)
            s.ready.wait(lock);
        else
            s.ready.wait_until(lock, end);
        --s.waiters;
    }
}

}  // namespace platform
