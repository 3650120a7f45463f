#include "platform/linux/socket_registry.h"

#include <cerrno>
#include <sys/epoll.h>
#include <netinet/in.h>
#include <shared_mutex>
#include <sys/socket.h>
#include <unordered_map>

namespace platform {
namespace linux_backend {
namespace {

struct registry {
    std::shared_mutex mutex;
    std::unordered_map<int, std::shared_ptr<socket_state>> sockets;
};

// Never destroyed: worker threads of objects with static lifetime may still
// close sockets while the process exits.
registry& the_registry()
{
    static registry* r = new registry;
    return *r;
}

}  // namespace

completion completion_of(const socket_state& state, queued_op* op, bool success,
                         std::uint32_t bytes, std::uint32_t error)
{
    completion c;
    c.dequeued = true;
    c.success = success;
    c.bytes = bytes;
    c.key = state.key;
    c.ov = overlapped_of(op);
    c.error = error;
    return c;
}

bool would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

bool attempt(int fd, queued_op* op, outcome& out)
{
    for (;;) {
        ssize_t n = -1;
        switch (op->kind) {
        case op_kind::receive:
            n = ::recv(fd, op->data, op->length, 0);
            break;
        case op_kind::receive_from: {
            iovec iov{op->data, op->length};
            msghdr msg{};
            msg.msg_name = op->from;
            msg.msg_namelen = static_cast<socklen_t>(*op->from_length);
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            n = ::recvmsg(fd, &msg, 0);
            if (n >= 0) {
                *op->from_length = static_cast<int>(msg.msg_namelen);
                if (msg.msg_flags & MSG_TRUNC) {
                    // A datagram larger than the buffer: its head is delivered and the
                    // operation fails, as WSARecvFrom does.
                    out = {false, static_cast<std::uint32_t>(n), error_message_size};
                    return true;
                }
            }
            break;
        }
        case op_kind::send:
            n = ::send(fd, op->data + op->done, op->length - op->done, MSG_NOSIGNAL);
            if (n >= 0) {
                op->done += static_cast<std::uint32_t>(n);
                if (op->done < op->length)
                    continue;
                out = {true, op->done, 0};
                return true;
            }
            break;
        case op_kind::connect:
            // The first call starts the connect; the ones after an edge ask how it went:
            // EISCONN once it succeeded, its error once it failed, EALREADY while it goes on.
            if (::connect(fd, reinterpret_cast<const sockaddr*>(op->to), op->to_length) == 0) {
                out = {true, 0, 0};
                return true;
            }
            switch (errno) {
            case EISCONN:
                out = {true, 0, 0};
                return true;
            case EINPROGRESS:
            case EALREADY:
            case EINTR:  // the connect goes on in the background
                return false;
            default:
                out = {false, 0, errno_to_win32(errno)};
                return true;
            }
        case op_kind::accept: {
            const int c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c >= 0) {
                *op->accepted = static_cast<socket_handle>(c);
                out = {true, 0, 0};
                return true;
            }
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (would_block(errno))
                return false;
            out = {false, 0, errno_to_win32(errno)};
            return true;
        }
        case op_kind::send_to:
            n = ::sendto(fd, op->data, op->length, MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(op->to), op->to_length);
            break;
        }
        if (n >= 0) {
            out = {true, static_cast<std::uint32_t>(n), 0};
            return true;
        }
        const int e = errno;
        if (e == EINTR)
            continue;
        if (would_block(e))
            return false;
        out = {false, op->kind == op_kind::send ? op->done : 0u, errno_to_win32(e)};
        return true;
    }
}

namespace {

void progress(socket_state& state, op_fifo& fifo)
{
    while (queued_op* op = fifo.head) {
        outcome out{};
        if (!attempt(state.fd, op, out))
            return;
        fifo.pop();
        // A connected socket is writable nearly all the time, and every ACK would be an edge:
        // the connect's interest in writability ends with it. The next wait's epoll_ctl
        // (the first receive's, usually) leaves it out.
        if (op->kind == op_kind::connect && state.sends.empty())
            state.watched &= ~static_cast<std::uint32_t>(EPOLLOUT);
        queue_completion(state.port, completion_of(state, op, out.success, out.bytes, out.error));
    }
}

}  // namespace

std::shared_ptr<socket_state> find_socket(int fd)
{
    registry& r = the_registry();
    std::shared_lock lock(r.mutex);
    auto it = r.sockets.find(fd);
    return it == r.sockets.end() ? nullptr : it->second;
}

bool add_socket(const std::shared_ptr<socket_state>& state)
{
    registry& r = the_registry();
    std::unique_lock lock(r.mutex);
    return r.sockets.emplace(state->fd, state).second;
}

std::shared_ptr<socket_state> remove_socket(int fd)
{
    registry& r = the_registry();
    std::unique_lock lock(r.mutex);
    auto it = r.sockets.find(fd);
    if (it == r.sockets.end())
        return nullptr;
    auto state = std::move(it->second);
    r.sockets.erase(it);
    return state;
}

void detach_port(completion_port::state* port)
{
    registry& r = the_registry();
    std::unique_lock lock(r.mutex);
    for (auto& [fd, state] : r.sockets) {
        std::lock_guard state_lock(state->mutex);
        if (state->port == port) {
            state->port = nullptr;
            state->receives = {};
            state->sends = {};
        }
    }
}

void fail_waiting(socket_state& state, op_fifo& fifo, std::uint32_t error)
{
    while (queued_op* op = fifo.pop()) {
        const std::uint32_t bytes = op->kind == op_kind::send ? op->done : 0u;
        queue_completion(state.port, completion_of(state, op, false, bytes, error));
    }
}

void progress_receives(socket_state& state) { progress(state, state.receives); }
void progress_sends(socket_state& state) { progress(state, state.sends); }

std::uint32_t errno_to_win32(int error)
{
    switch (error) {
    case 0: return error_success;
    case EINTR: return error_interrupted;
    case EBADF: case ENOTSOCK: return error_not_socket;
    case EACCES: case EPERM: return error_socket_access_denied;
    case EFAULT: return error_bad_address;
    case EINVAL: return error_invalid_argument;
    case EMFILE: case ENFILE: return error_too_many_sockets;
    case EAGAIN: return error_would_block;
    case EINPROGRESS: return error_would_block;  // what a non-blocking connect gives on Windows
    case EALREADY: return error_already_in_progress;
    case EDESTADDRREQ: return error_destination_address_required;
    case EMSGSIZE: return error_message_size;
    case EPROTOTYPE: return error_wrong_protocol_type;
    case ENOPROTOOPT: return error_bad_protocol_option;
    case EPROTONOSUPPORT: return error_protocol_not_supported;
    case EOPNOTSUPP: return error_operation_not_supported;
    case EAFNOSUPPORT: return error_address_family_not_supported;
    case EADDRINUSE: return error_address_in_use;
    case EADDRNOTAVAIL: return error_address_not_available;
    case ENETDOWN: return error_network_down;
    case ENETUNREACH: return error_socket_network_unreachable;
    case ENETRESET: return error_network_reset;
    case ECONNABORTED: return error_connection_aborted;
    case ECONNRESET: case EPIPE: return error_connection_reset;
    case ENOBUFS: case ENOMEM: return error_no_buffer_space;
    case EISCONN: return error_already_connected;
    case ENOTCONN: return error_not_connected;
    case ESHUTDOWN: return error_socket_shut_down;
    case ETIMEDOUT: return error_timed_out;
    case ECONNREFUSED: return error_connection_refused;
    case EHOSTDOWN: return error_host_down;
    case EHOSTUNREACH: return error_socket_host_unreachable;
    default: return error_gen_failure;
    }
}

}  // namespace linux_backend

}  // namespace platform
