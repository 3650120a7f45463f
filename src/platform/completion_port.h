#pragma once
// An I/O completion port: the queue through which every overlapped socket operation of
// platform/socket.h reports its end.
//
// Windows: a real I/O completion port (CreateIoCompletionPort, GetQueuedCompletionStatus,
// PostQueuedCompletionStatus). Linux: an emulation with the same contract. Operations that
// can finish at once are finished by the posting thread; the others wait for their socket,
// and one thread at a time among those in dequeue() polls the sockets (epoll) and finishes
// them. So on Linux a waiting operation progresses once some thread is back in dequeue(),
// or, if every thread runs a handler that blocks, within a few milliseconds of one of the
// others noticing (see completion_port.cpp).
//
// Contract (both backends): every operation posted on an associated socket is dequeued
// exactly once, with its key, its overlapped pointer, the byte count and a success flag;
// a failed one carries a translated Win32 error. post() queues a packet of the caller's
// choosing (the overlapped pointer is passed through, never dereferenced).
//
// Thread safety: associate/post/dequeue from any thread. Destruction belongs to the owner
// and must come after every thread calling dequeue() has left.

#include <cstdint>
#include <memory>

#include "platform/socket.h"
#include "platform/win32_errors.h"

namespace platform {

// One dequeued packet.
struct completion {
    bool dequeued = false;  // false: timeout, or the port cannot be waited on any more
    bool success = false;   // the operation succeeded (always true for post())
    std::uint32_t bytes = 0;
    std::uintptr_t key = 0;
    overlapped* ov = nullptr;
    // Win32 error of a failed operation (e.g. error_operation_aborted, error_connection_reset);
    // error_wait_timeout on timeout.
    std::uint32_t error = 0;
};

class completion_port {
public:
    completion_port();
    ~completion_port();
    completion_port(const completion_port&) = delete;
    completion_port& operator=(const completion_port&) = delete;

    bool valid() const;
    // The OS error of a failed creation.
    std::uint32_t error() const { return error_; }

    // Binds `s` to this port; its operations complete here carrying `key`. A socket is
    // bound to one port for its life.
    bool associate(socket_handle s, std::uintptr_t key);
    bool post(std::uint32_t bytes, std::uintptr_t key, overlapped* ov);
    // `timeout_ms` may be wait_forever.
    completion dequeue(std::uint32_t timeout_ms);

    struct state;

private:
    std::unique_ptr<state> state_;
    std::uint32_t error_ = 0;
};

// While one lives, the completions this thread queues wake no worker until it ends, and
// then at most one. For a thread outside the pool that posts several operations under a
// lock their handlers take too: woken at once, a worker would only wait for that lock.
// Linux only; the Windows kernel port releases its threads itself.
class deferred_wakeups {
public:
    deferred_wakeups();
    ~deferred_wakeups();
    deferred_wakeups(const deferred_wakeups&) = delete;
    deferred_wakeups& operator=(const deferred_wakeups&) = delete;
};

}  // namespace platform
