#include "platform/completion_port.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <deque>
#include <thread>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "platform/linux/overlapped_socket_state.h"

namespace platform {

using namespace linux_backend;

// The emulated port: a queue of finished operations and posted packets, and an epoll set of
// the associated sockets, edge-triggered, each direction watched once an operation waits on it.
// There is no reactor thread of its own: every thread waiting in dequeue() with nothing
// queued waits in epoll_wait on the set, finishes the operations the edges it is given let
// through, and takes the first completion. The kernel hands each edge to one waiting
// thread, so a socket event costs one wake-up and the thread that saw it runs its handler,
// while the other waiting threads keep watching the sockets (a handler that blocks stalls
// nobody else).
//
// A completion left queued needs a taker. Like a Windows port, which releases another
// thread only while fewer threads than processors are running handlers, the emulation wakes
// one (announces through wake_fd, an edge like any other) only while a processor is free
// for it; otherwise the running threads take it when they return, sparing a wake-up and a
// context switch per completion under load. Since the emulation cannot tell a running
// thread from one blocked inside its handler, a completion left to the running threads
// also arms stall_fd, a timer: if it fires, the thread it wakes takes what is queued and
// announces the rest unconditionally. Uncollected edges merge into one, so a thread that
// takes a completion and leaves others queued hands them on again: that chain is what gets
// every queued completion a taker. A spurious edge (e.g. for a reused descriptor number)
// only costs a retry.
struct completion_port::state {
    int epoll_fd = -1;
    int wake_fd = -1;
    int stall_fd = -1;
    int processors = 1;
    std::atomic<int> running{0};  // threads between taking a completion and their next dequeue()
    std::atomic<bool> stall_armed{false};

    std::mutex mutex;  // guards queue
    std::deque<completion> queue;

    void announce() const;
    // For completions left queued while `busy_threads` threads (the caller among them, if
    // it is about to run a handler) run handlers: wakes a taker if a processor is free.
    void hand_on(int busy_threads);
    void arm_stall_timer();
    // True when the stall timer woke this thread.
    bool poll_once(int timeout_ms);
};

namespace {

// The port whose dequeue() this thread returns to next: it is running a handler of that
// port's completion or polling its sockets. A completion this thread queues there needs
// nobody woken, since this thread takes it itself in a moment; waking another thread for
// it would only move the work across cores.
thread_local completion_port::state* returning_to = nullptr;
// The port this thread runs a handler for, counted in its `running`.
thread_local completion_port::state* running_for = nullptr;

// deferred_wakeups on this thread: how many are alive, and the port they held a wake-up back
// for.
thread_local int deferring = 0;
thread_local completion_port::state* deferred_for = nullptr;

// How long completions left to the running threads may wait before a sleeping one is woken
// for them anyway, in case the running ones are blocked.
constexpr long stall_timeout_ns = 2'000'000;

int poll_timeout(bool forever, std::chrono::steady_clock::time_point end)
{
    if (forever)
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now()).count();
    return left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
}

}  // namespace

// Every write is a new edge, and the kernel gives it to one thread in epoll_wait, or to the
// next one to enter it.
void completion_port::state::announce() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(wake_fd, &one, sizeof one);
}

void completion_port::state::hand_on(int busy_threads)
{
    if (busy_threads < processors)
        announce();
    else
        arm_stall_timer();
}

void completion_port::state::arm_stall_timer()
{
    if (stall_armed.exchange(true))
        return;
    itimerspec t{};
    t.it_value.tv_nsec = stall_timeout_ns;
    ::timerfd_settime(stall_fd, 0, &t, nullptr);
}

bool completion_port::state::poll_once(int timeout_ms)
{
    bool stalled = false;
    epoll_event events[64];
    const int n = ::epoll_wait(epoll_fd, events, 64, timeout_ms);
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_fd || fd == stall_fd) {
            // Keeps the count from growing; the edges already did their work.
            std::uint64_t value;
            [[maybe_unused]] ssize_t r = ::read(fd, &value, sizeof value);
            if (fd == stall_fd) {
                stall_armed.store(false);
                stalled = true;
            }
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
    return stalled;
}

namespace linux_backend {

void queue_completion(completion_port::state* port, const completion& c)
{
    {
        std::lock_guard lock(port->mutex);
        port->queue.push_back(c);
    }
    if (returning_to == port)
        return;
    if (deferring > 0 && (!deferred_for || deferred_for == port)) {
        deferred_for = port;
        return;
    }
    port->hand_on(port->running.load());
}

// Registered without any event: what it is watched for comes with the first wait.
bool watch(completion_port::state* port, int fd)
{
    epoll_event ev{};
    ev.events = EPOLLET;
    ev.data.fd = fd;
    return ::epoll_ctl(port->epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void watch_for(socket_state& state, std::uint32_t events)
{
    if ((state.in_set && (state.watched & events) == events) || !state.port)
        return;
    state.watched |= events;
    epoll_event ev{};
    ev.events = state.watched | EPOLLET;
    ev.data.fd = state.fd;
    ::epoll_ctl(state.port->epoll_fd, state.in_set ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, state.fd, &ev);
    state.in_set = true;
}

void leave_set(socket_state& state)
{
    if (!state.in_set || !state.port)
        return;
    state.in_set = false;
    state.watched = 0;
    ::epoll_ctl(state.port->epoll_fd, EPOLL_CTL_DEL, state.fd, nullptr);
}

}  // namespace linux_backend

completion_port::completion_port() : state_(std::make_unique<state>())
{
    state& s = *state_;
    s.processors = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    s.epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    s.wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    s.stall_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    // Edge-triggered: a level-triggered eventfd would wake every waiting thread until one
    // of them read it.
    auto add = [&s](int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.fd = fd;
        return ::epoll_ctl(s.epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0;
    };
    if (s.epoll_fd < 0 || s.wake_fd < 0 || s.stall_fd < 0 || !add(s.wake_fd) || !add(s.stall_fd)) {
        error_ = errno_to_win32(errno);
        for (int fd : {s.epoll_fd, s.wake_fd, s.stall_fd}) {
            if (fd >= 0)
                ::close(fd);
        }
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
    ::close(state_->stall_fd);
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
    if (running_for) {
        running_for->running.fetch_sub(1);
        running_for = nullptr;
    }
    returning_to = nullptr;
    bool stalled = false;
    for (;;) {
        {
            std::unique_lock lock(s.mutex);
            if (!s.queue.empty()) {
                const completion c = s.queue.front();
                s.queue.pop_front();
                const bool more = !s.queue.empty();
                lock.unlock();
                // What is left needs another thread while this one runs its handler.
                if (more && stalled)
                    s.announce();
                else if (more)
                    s.hand_on(s.running.load() + 1);
                s.running.fetch_add(1);
                running_for = &s;
                returning_to = &s;
                return c;
            }
        }
        // A thread whose time is up still polls once (without blocking), so that a zero
        // timeout reports operations the sockets can finish now.
        const bool expired = !forever && std::chrono::steady_clock::now() >= end;
        returning_to = &s;
        stalled = s.poll_once(expired ? 0 : poll_timeout(forever, end)) || stalled;
        returning_to = nullptr;
        if (expired) {
            std::lock_guard lock(s.mutex);
            if (s.queue.empty()) {
                none.error = error_wait_timeout;
                return none;
            }
        }
    }
}

deferred_wakeups::deferred_wakeups() { ++deferring; }

deferred_wakeups::~deferred_wakeups()
{
    if (--deferring > 0 || !deferred_for)
        return;
    completion_port::state* port = deferred_for;
    deferred_for = nullptr;
    port->hand_on(port->running.load());
}

}  // namespace platform
