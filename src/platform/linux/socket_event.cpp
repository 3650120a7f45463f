#include "platform/socket_event.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

socket_event::socket_event()
{
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0)
        handle_ = static_cast<std::uint64_t>(fd);
}

socket_event::~socket_event()
{
    if (valid())
        ::close(static_cast<int>(handle_));
}

bool socket_event::set()
{
    // Marked before the write: a reset() that sees the event signalled sees the mark too.
    ever_set_.store(true);
    const std::uint64_t one = 1;
    return valid() && ::write(static_cast<int>(handle_), &one, sizeof one) == sizeof one;
}

bool socket_event::reset()
{
    if (!valid())
        return false;
    // An event only ever selected (its socket is what signals) has nothing to read.
    if (!ever_set_.load())
        return true;
    // One read takes the whole count and leaves it at zero (not a semaphore eventfd).
    std::uint64_t value;
    [[maybe_unused]] const ssize_t r = ::read(static_cast<int>(handle_), &value, sizeof value);
    return true;
}

bool socket_event::select_connect(socket_handle s)
{
    if (!valid() || s == invalid_socket)
        return false;
    selected_ = s;
    return true;
}

void socket_event::deselect() { selected_ = invalid_socket; }

int wait_any_socket_event(socket_event* const* events, std::size_t count, std::uint32_t timeout_ms)
{
    if (!events || count == 0 || count > max_socket_events)
        return wait_any_failed;
    pollfd fds[2 * max_socket_events];
    for (std::size_t i = 0; i < count; ++i) {
        if (!events[i] || !events[i]->valid())
            return wait_any_failed;
        fds[2 * i] = {static_cast<int>(events[i]->handle_), POLLIN, 0};
        // A negative descriptor is ignored by poll: events without a selected socket.
        const socket_handle s = events[i]->selected_;
        fds[2 * i + 1] = {s == invalid_socket ? -1 : static_cast<int>(s), POLLOUT, 0};
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int wait = -1;
        if (timeout_ms != wait_infinite) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now()).count();
            wait = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
        }
        const int r = ::poll(fds, static_cast<nfds_t>(2 * count), wait);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return wait_any_failed;
        }
        if (r == 0)
            return wait_any_timeout;
        for (std::size_t i = 0; i < 2 * count; ++i) {
            if (fds[i].revents & POLLNVAL)
                return wait_any_failed;
            if (fds[i].revents)
                return static_cast<int>(i / 2);
        }
    }
}

}  // namespace platform
