#include "platform/socket.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/linux/socket_registry.h"

namespace platform {

using namespace linux_backend;

namespace {

int fd_of(socket_handle s) { return s > static_cast<socket_handle>(INT_MAX) ? -1 : static_cast<int>(s); }

std::uint32_t last_error() { return errno_to_win32(errno); }

sockaddr_in ipv4(const in_addr& address, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

socket_handle open_socket(int type, int protocol, std::uint32_t& error, int family = AF_INET)
{
    const int fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        error = last_error();
        return invalid_socket;
    }
    error = 0;
    return static_cast<socket_handle>(fd);
}

class deadline {
public:
    explicit deadline(std::uint32_t timeout_ms)
        : infinite_(timeout_ms == wait_forever),
          end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms))
    {
    }
    int poll_timeout() const
    {
        if (infinite_)
            return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end_ - std::chrono::steady_clock::now()).count();
        return left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
    }

private:
    bool infinite_;
    std::chrono::steady_clock::time_point end_;
};

// Waits for `events` on fd; 0, error_timed_out or an error.
std::uint32_t wait_for(int fd, short events, const deadline& until)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, until.poll_timeout());
        if (r > 0)
            return (p.revents & POLLNVAL) ? error_not_socket : 0;
        if (r == 0)
            return error_timed_out;
        if (errno != EINTR)
            return last_error();
    }
}

// Queues `op` and, when nothing of its kind waits before it, tries it at once. A first
// attempt that fails is reported to the caller (no completion), as a failing WSARecv/WSASend
// call is.
std::uint32_t post(socket_handle s, queued_op* op, bool is_send)
{
    const int fd = fd_of(s);
    auto state = fd < 0 ? nullptr : find_socket(fd);
    if (!state)
        return error_not_socket;
    std::lock_guard lock(state->mutex);
    if (state->closed || !state->port)
        return error_not_socket;
    op_fifo& fifo = is_send ? state->sends : state->receives;
    if (!fifo.empty()) {
        fifo.push(op);
        return error_io_pending;
    }
    outcome out{};
    if (!attempt(fd, op, out)) {
        // Not watched, it would wait for ever: the post fails instead.
        if (const std::uint32_t e = watch_for(*state, is_send ? EPOLLOUT : EPOLLIN | EPOLLRDHUP); e != 0)
            return e;
        fifo.push(op);
        return error_io_pending;
    }
    if (!out.success && out.error != error_message_size)
        return out.error;
    queue_completion(state->port, completion_of(*state, op, out.success, out.bytes, out.error));
    return out.success ? error_success : error_io_pending;
}

}  // namespace

socket_handle open_tcp_socket(std::uint32_t& error) { return open_socket(SOCK_STREAM, IPPROTO_TCP, error); }
socket_handle open_udp_socket(std::uint32_t& error) { return open_socket(SOCK_DGRAM, IPPROTO_UDP, error); }

socket_handle open_udp6_socket(std::uint32_t& error)
{
    const socket_handle s = open_socket(SOCK_DGRAM, IPPROTO_UDP, error, AF_INET6);
    int one = 1;
    if (s != invalid_socket && ::setsockopt(fd_of(s), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0) {
        error = last_error();
        ::close(fd_of(s));
        return invalid_socket;
    }
    return s;
}

std::uint32_t bind_ipv6_any(socket_handle s)
{
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_any;
    return ::bind(fd_of(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : last_error();
}

std::uint32_t bind_ipv4(socket_handle s, const in_addr& address, std::uint16_t port)
{
    const sockaddr_in sa = ipv4(address, port);
    return ::bind(fd_of(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : last_error();
}

std::uint32_t bind_any_for_connect(socket_handle s)
{
    // Best effort: without the option (older kernels) the bind still works, as before.
    int one = 1;
    ::setsockopt(fd_of(s), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    return bind_ipv4(s, in_addr{}, 0);
}

std::uint32_t listen_socket(socket_handle s, int backlog)
{
    return ::listen(fd_of(s), backlog < 0 ? SOMAXCONN : backlog) == 0 ? 0 : last_error();
}

std::uint32_t local_port(socket_handle s, std::uint16_t& port)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return last_error();
    port = ntohs(sa.sin_port);
    return 0;
}

std::uint32_t peer_ipv4(socket_handle s, in_addr& address, std::uint16_t& port)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(fd_of(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return last_error();
    if (sa.sin_family != AF_INET)
        return error_address_family_not_supported;
    address = sa.sin_addr;
    port = ntohs(sa.sin_port);
    return 0;
}

std::uint32_t set_non_blocking(socket_handle s)
{
    // Every socket of this backend is non-blocking from its creation (socket and accept4
    // with SOCK_NONBLOCK).
    return fd_of(s) < 0 ? error_not_socket : 0;
}

std::uint32_t set_no_delay(socket_handle s)
{
    int one = 1;
    return ::setsockopt(fd_of(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 0 : last_error();
}

namespace {

// Listening sockets a thread is accepting on. close_socket() on one of them only shuts it
// down (which wakes the accepting thread) and leaves the close to that thread: closed at
// once, its descriptor number could be reused by the next socket, pipe or file before the
// accepting thread reaches poll(), which would then wait on something else forever.
struct accepting_sockets {
    struct entry {
        int acceptors = 0;
        bool closing = false;  // close_socket() was called
    };
    std::mutex mutex;
    std::unordered_map<int, entry> by_fd;
};

accepting_sockets& the_accepting()
{
    static accepting_sockets* a = new accepting_sockets;  // see the_registry()
    return *a;
}

// Registers an accept on `fd`; false if the socket is already being closed.
bool begin_accept(int fd)
{
    auto& a = the_accepting();
    std::lock_guard lock(a.mutex);
    auto& e = a.by_fd[fd];
    if (e.closing)
        return false;
    ++e.acceptors;
    return true;
}

// The last accept to leave a socket that close_socket() was called on closes it.
void end_accept(int fd)
{
    auto& a = the_accepting();
    std::unique_lock lock(a.mutex);
    auto it = a.by_fd.find(fd);
    if (it == a.by_fd.end() || --it->second.acceptors > 0)
        return;
    const bool close_now = it->second.closing;
    a.by_fd.erase(it);
    lock.unlock();
    if (close_now)
        ::close(fd);
}

// True when accepts own the close of `fd`: it is shut down here (which wakes them) and
// closed by the last of them.
bool defer_close_to_accept(int fd)
{
    auto& a = the_accepting();
    std::lock_guard lock(a.mutex);
    auto it = a.by_fd.find(fd);
    if (it == a.by_fd.end())
        return false;
    it->second.closing = true;
    ::shutdown(fd, SHUT_RDWR);
    return true;
}

socket_handle accept_loop(int fd, std::uint32_t& error)
{
    for (;;) {
        // A listening socket starts non-blocking, like every socket of this backend. The
        // first time it has nothing to accept it turns blocking: the accept then waits by
        // itself, one call per connection with no poll around it. Once close_socket() has
        // shut the socket down, accept4 fails (EINVAL), or wakes up failing, and ends the loop.
        const int c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c >= 0) {
            error = 0;
            return static_cast<socket_handle>(c);
        }
        const int e = errno;
        if (e == EINTR || e == ECONNABORTED)
            continue;
        if (!would_block(e)) {
            error = errno_to_win32(e);
            return invalid_socket;
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            error = errno_to_win32(errno);
            return invalid_socket;
        }
    }
}

}  // namespace

socket_handle accept_socket(socket_handle listening, std::uint32_t& error)
{
    const int fd = fd_of(listening);
    if (fd < 0 || !begin_accept(fd)) {
        error = error_not_socket;
        return invalid_socket;
    }
    const socket_handle accepted = accept_loop(fd, error);
    end_accept(fd);
    return accepted;
}

std::uint32_t connect_ipv4(socket_handle s, const in_addr& address, std::uint16_t port)
{
    const sockaddr_in sa = ipv4(address, port);
    if (::connect(fd_of(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0)
        return 0;
    return last_error();
}

void shutdown_socket(socket_handle s)
{
    const int fd = fd_of(s);
    if (fd < 0)
        return;
    auto state = find_socket(fd);
    if (!state) {
        ::shutdown(fd, SHUT_RDWR);
        return;
    }
    std::lock_guard lock(state->mutex);
    // The shutdown makes the socket ready for good, and its EPOLLHUP reaches the port
    // whatever the socket is watched for: that edge would wake another worker only to find
    // the operations this thread ends right here (and then to wait for the lock the caller
    // usually holds on the relay). So the socket leaves the set first.
    leave_set(*state);
    ::shutdown(fd, SHUT_RDWR);
    state->shut_down = true;
    if (state->closed || !state->port)
        return;
    progress_receives(*state);
    progress_sends(*state);
    // What a shutdown does not end (a datagram socket's receive) waits on as before, or
    // fails now if it cannot be watched.
    if (!state->receives.empty()) {
        if (const std::uint32_t e = watch_for(*state, EPOLLIN | EPOLLRDHUP); e != 0)
            fail_waiting(*state, state->receives, e);
    }
    if (!state->sends.empty()) {
        if (const std::uint32_t e = watch_for(*state, EPOLLOUT); e != 0)
            fail_waiting(*state, state->sends, e);
    }
}

namespace {

enum class shutdown_first { unless_done, unless_associated };

void close_descriptor(int fd, shutdown_first rule)
{
    bool shut_down = false;
    if (auto state = remove_socket(fd)) {
        std::lock_guard lock(state->mutex);
        state->closed = true;
        // Nothing outside the port waits on an associated socket: its close, which takes
        // it out of the epoll set before the stack ends the connection (FIN, or RST with
        // unread data), wakes nobody, as a shutdown would.
        shut_down = state->shut_down || rule == shutdown_first::unless_associated;
        // No epoll_ctl(DEL): closing the only descriptor of the socket takes it out of
        // the port's epoll set, and an edge already collected finds no registry entry.
        if (state->port) {
            fail_waiting(*state, state->receives, error_operation_aborted);
            fail_waiting(*state, state->sends, error_operation_aborted);
        }
    }
    if (defer_close_to_accept(fd))
        return;
    // Wakes a thread blocked on this socket (close alone does not on Linux), unless
    // that is done or not needed.
    if (!shut_down)
        ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

}  // namespace

void close_socket(socket_handle s)
{
    if (const int fd = fd_of(s); fd >= 0)
        close_descriptor(fd, shutdown_first::unless_done);
}

void shutdown_and_close(socket_handle s)
{
    if (const int fd = fd_of(s); fd >= 0)
        close_descriptor(fd, shutdown_first::unless_associated);
}

std::uint32_t post_receive(socket_handle s, const io_buffer& buffer, overlapped* ov)
{
    queued_op* op = start_op(ov);
    op->kind = op_kind::receive;
    op->data = buffer.buffer;
    op->length = buffer.length;
    return post(s, op, false);
}

std::uint32_t post_send(socket_handle s, const io_buffer& buffer, overlapped* ov)
{
    queued_op* op = start_op(ov);
    op->kind = op_kind::send;
    op->data = buffer.buffer;
    op->length = buffer.length;
    return post(s, op, true);
}

std::uint32_t post_connect(socket_handle s, const in_addr& address, std::uint16_t port,
                           overlapped* ov)
{
    queued_op* op = start_op(ov);
    op->kind = op_kind::connect;
    const sockaddr_in sa = ipv4(address, port);
    static_assert(sizeof sa <= sizeof op->to);
    std::memcpy(op->to, &sa, sizeof sa);
    op->to_length = static_cast<std::uint8_t>(sizeof sa);
    // A connect waits with the sends, for the socket to turn writable (or to fail).
    return post(s, op, true);
}

std::uint32_t complete_connect(socket_handle s) { return fd_of(s) < 0 ? error_not_socket : 0; }

std::uint32_t post_accept(socket_handle listening, accept_buffer& buffer, overlapped* ov)
{
    queued_op* op = start_op(ov);
    op->kind = op_kind::accept;
    op->accepted = &buffer.accepted;
    // Accepts wait with the receives, for the listener to turn readable.
    return post(listening, op, false);
}

socket_handle take_accepted(socket_handle, accept_buffer& buffer, bool succeeded)
{
    const socket_handle accepted = std::exchange(buffer.accepted, invalid_socket);
    if (succeeded)
        return accepted;
    if (accepted != invalid_socket)
        ::close(fd_of(accepted));
    return invalid_socket;
}

void discard_accept(accept_buffer& buffer) { take_accepted(invalid_socket, buffer, false); }

std::uint32_t post_receive_from(socket_handle s, const io_buffer& buffer, socket_address* from,
                                int* address_length, overlapped* ov)
{
    if (!from || !address_length || *address_length < 0)
        return error_invalid_argument;
    queued_op* op = start_op(ov);
    op->kind = op_kind::receive_from;
    op->data = buffer.buffer;
    op->length = buffer.length;
    op->from = from;
    op->from_length = address_length;
    return post(s, op, false);
}

std::uint32_t post_send_to(socket_handle s, const io_buffer& buffer, const socket_address& to,
                           int address_length, overlapped* ov)
{
    queued_op* op = start_op(ov);
    if (address_length <= 0 || address_length > static_cast<int>(sizeof op->to))
        return error_invalid_argument;
    op->kind = op_kind::send_to;
    op->data = buffer.buffer;
    op->length = buffer.length;
    std::memcpy(op->to, to.bytes, static_cast<std::size_t>(address_length));
    op->to_length = static_cast<std::uint8_t>(address_length);
    return post(s, op, true);
}

std::uint32_t connect_ipv4_wait(socket_handle s, const in_addr& address, std::uint16_t port,
                                std::uint32_t timeout_ms)
{
    const deadline until(timeout_ms);
    std::uint32_t e = connect_ipv4(s, address, port);
    if (e != error_would_block)
        return e;
    if ((e = wait_for(fd_of(s), POLLOUT, until)) != 0)
        return e;
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (::getsockopt(fd_of(s), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0)
        return last_error();
    return errno_to_win32(so_error);
}

std::uint32_t send_all(socket_handle s, const void* data, std::size_t length,
                       std::uint32_t timeout_ms)
{
    const deadline until(timeout_ms);
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd_of(s), p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            p += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (!would_block(errno))
            return last_error();
        if (const std::uint32_t e = wait_for(fd_of(s), POLLOUT, until); e != 0)
            return e;
    }
    return 0;
}

std::uint32_t receive_some(socket_handle s, void* data, std::size_t length,
                           std::size_t& received, std::uint32_t timeout_ms)
{
    const deadline until(timeout_ms);
    received = 0;
    for (;;) {
        const ssize_t n = ::recv(fd_of(s), data, length, MSG_DONTWAIT);
        if (n >= 0) {
            received = static_cast<std::size_t>(n);
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (!would_block(errno))
            return last_error();
        if (const std::uint32_t e = wait_for(fd_of(s), POLLIN, until); e != 0)
            return e;
    }
}

std::uint32_t set_abortive_close(socket_handle s)
{
    linger l{1, 0};
    return ::setsockopt(fd_of(s), SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : last_error();
}

}  // namespace platform
