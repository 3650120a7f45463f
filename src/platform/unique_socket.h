#pragma once
// The one owner of a socket: closes it exactly once, on destruction or on close(), the way
// the proxies end a connection (platform::shutdown_and_close). Move-only; nothing above the
// platform layer closes a raw socket_handle by hand.
//
// Not thread-safe by itself: an object that several threads reach (a relay's two sockets)
// guards its unique_sockets with its own lock.

#include <utility>

#include "platform/socket.h"

namespace platform {

class unique_socket {
public:
    unique_socket() = default;
    explicit unique_socket(socket_handle s) : handle_(s) {}
    ~unique_socket() { close(); }
    unique_socket(unique_socket&& other) noexcept : handle_(other.release()) {}
    unique_socket& operator=(unique_socket&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_socket(const unique_socket&) = delete;
    unique_socket& operator=(const unique_socket&) = delete;

    socket_handle get() const { return handle_; }
    bool valid() const { return handle_ != invalid_socket; }
    explicit operator bool() const { return valid(); }

    // Gives the handle up without closing it.
    socket_handle release() { return std::exchange(handle_, invalid_socket); }
    // Closes the socket held (if any) and takes `s`.
    void reset(socket_handle s = invalid_socket)
    {
        const socket_handle old = std::exchange(handle_, s);
        if (old != invalid_socket)
            shutdown_and_close(old);
    }
    // Ends the connection (outstanding operations complete with failure) and forgets the
    // handle; a no-op when nothing is held.
    void close() { reset(); }

private:
    socket_handle handle_ = invalid_socket;
};

// The socket kinds every proxy opens; an invalid unique_socket and `error` on failure.
inline unique_socket make_tcp_socket(std::uint32_t& error) { return unique_socket(open_tcp_socket(error)); }
inline unique_socket make_udp_socket(std::uint32_t& error) { return unique_socket(open_udp_socket(error)); }

}  // namespace platform
