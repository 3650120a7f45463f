#pragma once
// Internal to the Linux backend: the state of an associated socket, shared by the socket
// operations (socket.cpp), the registry that runs waiting operations (socket_registry.cpp)
// and the completion port emulation (completion_port.cpp).
//
// Every associated socket has one socket_state, found by descriptor in a process-wide
// registry. Waiting operations sit in two FIFOs (receives, sends) threaded through the
// callers' overlapped records. Lock order: registry, then a socket_state's mutex, then the
// port's queue mutex. A descriptor leaves the registry before it is closed, so nothing here
// ever issues a syscall on a descriptor number that may have been reused.

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include "platform/completion_port.h"
#include "platform/socket.h"

namespace platform::linux_backend {

enum class op_kind : std::uint8_t { receive, send, receive_from, send_to, connect, accept };

// Lives inside the caller's `overlapped` while the operation is outstanding.
struct queued_op {
    queued_op* next;
    char* data;
    socket_address* from;  // receive_from: where the sender's address goes
    int* from_length;
    socket_handle* accepted;  // accept: where the new connection goes
    std::uint32_t length;
    std::uint32_t done;  // send: bytes already handed to the stack
    op_kind kind;
    std::uint8_t to_length;
    alignas(4) unsigned char to[28];  // send_to, connect: the destination, copied at the post
};
static_assert(sizeof(queued_op) <= sizeof(overlapped));

inline queued_op* start_op(overlapped* ov) { return ::new (static_cast<void*>(ov->opaque)) queued_op{}; }
inline overlapped* overlapped_of(queued_op* op) { return reinterpret_cast<overlapped*>(op); }

struct op_fifo {
    queued_op* head = nullptr;
    queued_op* tail = nullptr;

    bool empty() const { return head == nullptr; }
    void push(queued_op* op)
    {
        op->next = nullptr;
        if (tail)
            tail->next = op;
        else
            head = op;
        tail = op;
    }
    queued_op* pop()
    {
        queued_op* op = head;
        if (op) {
            head = op->next;
            if (!head)
                tail = nullptr;
        }
        return op;
    }
};

struct socket_state {
    explicit socket_state(int descriptor) : fd(descriptor) {}
    const int fd;
    std::mutex mutex;  // guards everything below
    completion_port::state* port = nullptr;  // null once the port is destroyed
    std::uintptr_t key = 0;
    bool closed = false;
    // The epoll events the port watches the socket for, added once an operation of that
    // direction had to wait. A new connection's socket is writable, and often readable with
    // data its first receive takes at once: watched from the start, it would wake a thread
    // for nothing.
    std::uint32_t watched = 0;
    // Whether the socket is in the port's epoll set: from its first wait until
    // shutdown_socket(), which takes it out, since a shut down socket reports EPOLLHUP
    // whatever it is watched for.
    bool in_set = false;
    bool shut_down = false;  // shutdown_socket() ended its operations and woke its waiters
    op_fifo receives;
    op_fifo sends;
};

// Port side, implemented in completion_port.cpp.
void queue_completion(completion_port::state* port, const completion& c);
// Makes the port watch the socket for `events` (EPOLLIN/EPOLLOUT...) too; an edge follows
// at once if the socket is already ready. 0, or the translated error of a failed epoll_ctl
// (the socket is then not watched: an operation waiting for it would never complete).
// Called with state.mutex held.
std::uint32_t watch_for(socket_state& state, std::uint32_t events);
// Takes the socket out of the port's epoll set until the next watch_for. Called with
// state.mutex held.
void leave_set(socket_state& state);

}  // namespace platform::linux_backend
