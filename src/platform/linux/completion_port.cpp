#include "platform/completion_port.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <thread>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/linux/socket_registry.h"

namespace platform {

using namespace linux_backend;

// The emulated port: a queue of finished operations and posted packets, and an epoll set of
// the associated sockets, edge-triggered, each direction watched once an operation waits on it.
// There is no reactor thread of its own; the threads in dequeue() share the work like a
// Windows port's:
//
// - One thread at a time, the poller, waits in epoll_wait, finishes the operations the edges
//   let through and then runs their handlers itself. While it runs them nobody polls: new
//   edges gather in the epoll set and the first thread back collects them all in one call
//   instead of a sleeping thread being woken for each. (With several threads asleep in
//   epoll_wait, one TCP FIN, which the kernel reports twice, would even wake two.)
// - The others, the followers, wait on a condition variable. A Windows port releases
//   another thread only while fewer threads than processors run handlers; the emulation is
//   more sparing still, since a wake-up costs about as much as a short handler: it wakes a
//   follower for completions left queued when nobody runs handlers, or when a backlog of
//   them builds up while a processor is free. Otherwise the running threads take them when
//   they return.
// - The emulation cannot tell a running thread from one blocked inside its handler (the
//   SOCKS5 UDP server's handler blocks by design). So while there is work about, one
//   follower, the watcher, waits with a timeout: if nobody has polled for a whole period,
//   it becomes the poller, and if completions still wait, it takes them. A handler that
//   blocks therefore delays the others by at most two periods. The watcher stays on while
//   work goes on, so that a poller leaving to run handlers need not wake one each time;
//   with nothing happening for a whole period it retires, and every waiting thread sleeps
//   until woken.
//
// A completion queued by a thread that is not about to dequeue follows the same rule; with
// no follower waiting, the poller is woken through wake_fd (an edge like any other). A
// spurious edge (e.g. for a reused descriptor number) only costs a retry.
struct completion_port::state {
    int epoll_fd = -1;
    int wake_fd = -1;
    int processors = 1;
    // Threads between taking a completion and their next dequeue(). Shared with those
    // threads, which may still leave after the port is gone.
    std::shared_ptr<std::atomic<int>> running = std::make_shared<std::atomic<int>>(0);

    std::mutex mutex;  // guards everything below
    std::deque<completion> queue;
    bool polling = false;  // a thread is in, or on its way into, epoll_wait
    std::condition_variable idle_wake;
    int idle = 0;  // followers waiting on idle_wake
    std::condition_variable watcher_wake;
    bool watched = false;       // a follower waits on watcher_wake, with a timeout
    bool watch_wanted = false;  // a follower was woken to become the watcher
    std::uint64_t vacated = 0;  // times the poller left to run handlers
    std::uint64_t polls = 0;    // times a thread started polling

    // Whom to wake, decided under the mutex and done once it is released: a follower woken
    // while the mutex is still held would only go back to sleep on it.
    enum class wake { nobody, follower, watcher, poller };
    // For the `queued` completions left while `busy` threads (the caller among them, if it
    // is about to run a handler) run handlers. Called with the mutex held.
    wake hand_on(int busy, std::size_t queued) const;
    // A waiting follower, the watcher last, else the poller if there is one.
    wake wake_one() const;
    void wake_up(wake who);
    void announce() const;
    void poll_once(int timeout_ms);
};

namespace {

// The port whose dequeue() this thread returns to next: it is running a handler of that
// port's completion or polling its sockets. A completion this thread queues there needs
// nobody woken, since this thread takes it itself in a moment; waking another thread for
// it would only move the work across cores.
thread_local completion_port::state* returning_to = nullptr;

// deferred_wakeups on this thread: how many are alive, and the port they held a wake-up back
// for.
thread_local int deferring = 0;
thread_local completion_port::state* deferred_for = nullptr;

// This thread's place in a port's `running` count; a worker that leaves for good after its
// last completion (a pool being stopped) gives it up as it exits.
struct running_mark {
    std::shared_ptr<std::atomic<int>> count;
    bool counted = false;

    void enter(const std::shared_ptr<std::atomic<int>>& of)
    {
        if (count != of)
            count = of;
        count->fetch_add(1);
        counted = true;
    }
    void leave()
    {
        if (counted)
            count->fetch_sub(1);
        counted = false;
    }
    ~running_mark() { leave(); }
};
thread_local running_mark running_here;

// How long the watcher waits before it checks on the poller and the queue.
constexpr auto watch_period = std::chrono::milliseconds(2);
// Queued completions per running thread that make it worth waking another.
constexpr std::size_t backlog_per_taker = 2;

// The watcher: returns false when woken, when nobody has polled for a whole period or
// completions wait at its end, or when the caller's time is up; true when a whole period
// passed with the poller polling and never leaving (nothing to watch over any more).
// A poller merely away running handlers at the end of a period is not taken over: it has
// polled since the last look, and a watcher that took over would wake for every edge.
bool watch(completion_port::state& s, std::unique_lock<std::mutex>& lock, bool forever,
           std::chrono::steady_clock::time_point end)
{
    std::uint64_t seen_vacated = s.vacated;
    std::uint64_t seen_polls = s.polls;
    for (;;) {
        const auto until = std::chrono::steady_clock::now() + watch_period;
        if (s.watcher_wake.wait_until(lock, forever ? until : std::min(until, end)) == std::cv_status::no_timeout)
            return false;
        if (!s.queue.empty() || (!forever && std::chrono::steady_clock::now() >= end))
            return false;
        if (!s.polling && s.polls == seen_polls)
            return false;
        if (s.polling && s.vacated == seen_vacated)
            return true;
        seen_vacated = s.vacated;
        seen_polls = s.polls;
    }
}

int poll_timeout(bool forever, std::chrono::steady_clock::time_point end)
{
    if (forever)
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now()).count();
    return left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
}

}  // namespace

// Every write is a new edge, which wakes the poller, or finds the next one to poll.
void completion_port::state::announce() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(wake_fd, &one, sizeof one);
}

completion_port::state::wake completion_port::state::hand_on(int busy, std::size_t queued) const
{
    // Nobody running: nobody else comes back for it.
    if (busy == 0)
        return wake_one();
    // A backlog, and a processor free for another taker.
    if (busy < processors && queued >= backlog_per_taker * static_cast<std::size_t>(busy))
        return wake_one();
    // The running threads take it when they return; with nobody watching over them, a
    // follower is woken (and takes it) in case they are blocked.
    if (watched)
        return wake::nobody;
    return wake_one();
}

completion_port::state::wake completion_port::state::wake_one() const
{
    if (idle > 0)
        return wake::follower;
    if (watched)
        return wake::watcher;
    // Nobody waits on the conditions: the others run handlers, and come back for it, or poll.
    return polling ? wake::poller : wake::nobody;
}

void completion_port::state::wake_up(wake who)
{
    switch (who) {
    case wake::nobody:
        break;
    case wake::follower:
        idle_wake.notify_one();
        break;
    case wake::watcher:
        watcher_wake.notify_one();
        break;
    case wake::poller:
        announce();
        break;
    }
}

void completion_port::state::poll_once(int timeout_ms)
{
    epoll_event events[64];
    const int n = ::epoll_wait(epoll_fd, events, 64, timeout_ms);
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_fd) {
            // Keeps the count from growing; the edges already did their work.
            std::uint64_t value;
            [[maybe_unused]] ssize_t r = ::read(wake_fd, &value, sizeof value);
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
    auto who = completion_port::state::wake::nobody;
    {
        std::lock_guard lock(port->mutex);
        port->queue.push_back(c);
        if (returning_to == port)
            return;
        if (deferring > 0 && (!deferred_for || deferred_for == port)) {
            deferred_for = port;
            return;
        }
        who = port->hand_on(port->running->load(), port->queue.size());
    }
    port->wake_up(who);
}

std::uint32_t watch_for(socket_state& state, std::uint32_t events)
{
    if ((state.in_set && (state.watched & events) == events) || !state.port)
        return 0;
    epoll_event ev{};
    ev.events = state.watched | events | EPOLLET;
    ev.data.fd = state.fd;
    if (::epoll_ctl(state.port->epoll_fd, state.in_set ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, state.fd, &ev) != 0)
        return errno_to_win32(errno);
    state.watched |= events;
    state.in_set = true;
    return 0;
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
    epoll_event ev{};
    // Edge-triggered: a level-triggered eventfd would wake the poller until it read it.
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = s.wake_fd;
    if (s.epoll_fd < 0 || s.wake_fd < 0 || ::epoll_ctl(s.epoll_fd, EPOLL_CTL_ADD, s.wake_fd, &ev) != 0) {
        error_ = errno_to_win32(errno);
        for (int fd : {s.epoll_fd, s.wake_fd}) {
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
    // It joins the epoll set with the first operation that has to wait (watch_for), for
    // what that operation waits for: most sockets wait for something soon, and this way
    // that costs one call instead of two.
    return add_socket(socket);
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
    // No clock reading for the workers' endless waits.
    const auto end = forever ? std::chrono::steady_clock::time_point{}
                             : std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    running_here.leave();
    returning_to = nullptr;
    // Who to wake once the mutex is released, on the way out.
    auto who = state::wake::nobody;
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (!s.queue.empty()) {
            const completion c = s.queue.front();
            s.queue.pop_front();
            if (!s.queue.empty()) {
                if (const auto h = s.hand_on(s.running->load() + 1, s.queue.size()); h != state::wake::nobody)
                    who = h;
            }
            running_here.enter(s.running);
            lock.unlock();
            s.wake_up(who);
            returning_to = &s;
            return c;
        }
        const bool expired = !forever && std::chrono::steady_clock::now() >= end;
        // Woken to watch over a poller that left to run handlers, which come back to poll:
        // polling instead would have this thread woken by every edge while they run.
        const bool to_watch = s.watch_wanted && !s.watched && s.running->load() > 0;
        if (!s.polling && (!to_watch || expired)) {
            // A thread whose time is up still polls once (without blocking), so that a zero
            // timeout reports operations the sockets can finish now.
            s.polling = true;
            ++s.polls;
            lock.unlock();
            returning_to = &s;
            s.poll_once(expired ? 0 : poll_timeout(forever, end));
            returning_to = nullptr;
            lock.lock();
            s.polling = false;
            if (!s.queue.empty()) {
                // Off to run what it found: somebody must notice if it does not come back.
                ++s.vacated;
                if (!s.watched && !s.watch_wanted && s.idle > 0) {
                    s.watch_wanted = true;
                    who = state::wake::follower;
                }
                continue;
            }
            if (expired) {
                none.error = error_wait_timeout;
                return none;
            }
            continue;
        }
        if (expired) {
            none.error = error_wait_timeout;
            return none;
        }
        if (!s.watched) {
            s.watched = true;
            s.watch_wanted = false;
            const bool quiet = watch(s, lock, forever, end);
            s.watched = false;
            if (!quiet)
                continue;
        }
        ++s.idle;
        if (forever)
            s.idle_wake.wait(lock);
        else
            s.idle_wake.wait_until(lock, end);
        --s.idle;
    }
}

deferred_wakeups::deferred_wakeups() { ++deferring; }

deferred_wakeups::~deferred_wakeups()
{
    if (--deferring > 0 || !deferred_for)
        return;
    completion_port::state* port = deferred_for;
    deferred_for = nullptr;
    auto who = completion_port::state::wake::nobody;
    {
        std::lock_guard lock(port->mutex);
        if (!port->queue.empty())
            who = port->hand_on(port->running->load(), port->queue.size());
    }
    port->wake_up(who);
}

}  // namespace platform
