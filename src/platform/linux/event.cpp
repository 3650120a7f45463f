#include "platform/event.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {
namespace {

using clock = std::chrono::steady_clock;

int fd_of(std::uint64_t handle) { return static_cast<int>(handle); }

// Remaining time for poll(): -1 forever, else milliseconds until the deadline (0 when past).
class deadline {
public:
    explicit deadline(std::uint32_t timeout_ms)
        : infinite_(timeout_ms == wait_infinite),
          end_(clock::now() + std::chrono::milliseconds(timeout_ms))
    {
    }
    int poll_timeout() const
    {
        if (infinite_)
            return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end_ - clock::now()).count();
        if (left <= 0)
            return 0;
        // Round up is not needed: a short poll just loops once more.
        return left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    bool expired() const { return !infinite_ && clock::now() >= end_; }

private:
    bool infinite_;
    clock::time_point end_;
};

// Writes 1. A counter at its maximum refuses with EAGAIN: it is signalled already.
bool write_one(int fd)
{
    const std::uint64_t one = 1;
    for (;;) {
        if (::write(fd, &one, sizeof one) == static_cast<ssize_t>(sizeof one))
            return true;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN;
    }
}

enum class take { taken, empty, failed };

// Consumes the whole counter: an auto-reset event releases exactly one waiter per signal.
take consume(int fd)
{
    std::uint64_t value = 0;
    for (;;) {
        if (::read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value))
            return take::taken;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN ? take::empty : take::failed;
    }
}

}  // namespace

event::event(event_kind kind, bool initially_set) : kind_(kind)
{
    const int fd = ::eventfd(initially_set ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        error_ = static_cast<std::uint32_t>(errno);
        return;
    }
    handle_ = static_cast<std::uint64_t>(fd);
}

void event::close()
{
    if (valid())
        ::close(fd_of(handle_));
    handle_ = invalid_handle;
}

bool event::set() { return valid() && write_one(fd_of(handle_)); }

bool event::reset()
{
    if (!valid())
        return false;
    return consume(fd_of(handle_)) != take::failed;
}

wait_result event::wait(std::uint32_t timeout_ms)
{
    event* self = this;
    const int r = wait_any(&self, 1, timeout_ms);
    if (r == 0)
        return wait_result::signalled;
    return r == wait_any_timeout ? wait_result::timeout : wait_result::failed;
}

int wait_any(event* const* events, std::size_t count, std::uint32_t timeout_ms)
{
    if (!events || count == 0 || count > max_wait_objects)
        return wait_any_failed;
    pollfd fds[max_wait_objects];
    for (std::size_t i = 0; i < count; ++i) {
        if (!events[i] || !events[i]->valid())
            return wait_any_failed;
        fds[i] = {fd_of(events[i]->handle_), POLLIN, 0};
    }
    const deadline until(timeout_ms);
    for (;;) {
        const int ready = ::poll(fds, static_cast<nfds_t>(count), until.poll_timeout());
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return wait_any_failed;
        }
        for (std::size_t i = 0; ready > 0 && i < count; ++i) {
            if (fds[i].revents & (POLLERR | POLLNVAL))
                return wait_any_failed;
            if (!(fds[i].revents & POLLIN))
                continue;
            if (events[i]->kind_ == event_kind::manual_reset)
                return static_cast<int>(i);
            // Another waiter may have consumed it between poll and read: look further,
            // then wait again.
            const take t = consume(fds[i].fd);
            if (t == take::taken)
                return static_cast<int>(i);
            if (t == take::failed)
                return wait_any_failed;
        }
        if (until.expired())
            return wait_any_timeout;
    }
}

event_reference event_reference::from_native(std::uint64_t native_handle)
{
    event_reference ref;
    if (native_handle > static_cast<std::uint64_t>(INT_MAX))
        return ref;
    // Only an eventfd may be signalled by writing 1; anything else (a socket, a file) must
    // not receive stray writes.
    char link[64];
    char target[64] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd_of(native_handle));
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0 || std::strcmp(target, "anon_inode:[eventfd]") != 0)
        return ref;
    const int copy = ::fcntl(fd_of(native_handle), F_DUPFD_CLOEXEC, 0);
    if (copy >= 0)
        ref.handle_ = static_cast<std::uint64_t>(copy);
    return ref;
}

void event_reference::close()
{
    if (valid())
        ::close(fd_of(handle_));
    handle_ = invalid_handle;
}

bool event_reference::signal() { return valid() && write_one(fd_of(handle_)); }

}  // namespace platform
