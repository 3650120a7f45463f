#pragma once
// Events that a waiting thread can combine with "this socket's connect has finished"
// (WSAEventSelect with FD_CONNECT on Windows). Used by the TCP proxy server's connect thread,
// which waits on many outgoing connects and on a wake-up event at once.
//
// Windows: a WSAEVENT (manual reset); select_connect() is WSAEventSelect(FD_CONNECT), which
// also makes the socket non-blocking. Linux: an eventfd for set()/reset() plus, after
// select_connect(), the socket itself polled for POLLOUT (a finished connect, successful or
// not, makes it writable or in error). On both, a selected socket's event stays signalled
// once its connect has finished; reset() only clears set().
//
// wait_any_socket_event() takes 1 to max_socket_events events and returns the lowest
// signalled index, wait_any_timeout or wait_any_failed (the values of platform/event.h).
//
// Thread safety: set/reset from any thread; the rest belongs to the owner.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/event.h"
#include "platform/socket.h"

namespace platform {

inline constexpr std::size_t max_socket_events = 64;  // WSA_MAXIMUM_WAIT_EVENTS

class socket_event {
public:
    socket_event();
    ~socket_event();
    socket_event(const socket_event&) = delete;
    socket_event& operator=(const socket_event&) = delete;

    bool valid() const { return handle_ != invalid_handle; }
    bool set();
    bool reset();
    // Signals this event when the connect started on `s` finishes. `s` must outlive the
    // selection: call deselect() before closing `s` or this event.
    bool select_connect(socket_handle s);
    // Ends the selection (the socket keeps its non-blocking mode).
    void deselect();

private:
    friend int wait_any_socket_event(socket_event* const* events, std::size_t count,
                                     std::uint32_t timeout_ms);
    static constexpr std::uint64_t invalid_handle = ~std::uint64_t{0};

    std::uint64_t handle_ = invalid_handle;
    socket_handle selected_ = invalid_socket;
    std::atomic<bool> ever_set_{false};  // Linux: set() was called at least once
};

int wait_any_socket_event(socket_event* const* events, std::size_t count,
                          std::uint32_t timeout_ms);

}  // namespace platform
