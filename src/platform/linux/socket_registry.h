#pragma once
// Internal to the Linux backend: the process-wide registry of associated sockets, and the
// running of their waiting operations, which both the socket calls (socket.cpp) and the
// port's poller (completion_port.cpp) do.

#include <cstdint>
#include <memory>

#include "platform/linux/overlapped_socket_state.h"

namespace platform::linux_backend {

// Registry of associated sockets.
std::shared_ptr<socket_state> find_socket(int fd);
// False when `fd` is already associated.
bool add_socket(const std::shared_ptr<socket_state>& state);
std::shared_ptr<socket_state> remove_socket(int fd);
// Called by a port's destructor: its sockets lose their port and their waiting operations.
void detach_port(completion_port::state* port);

// The outcome of one attempt at an operation that did not have to wait.
struct outcome {
    bool success;
    std::uint32_t bytes;
    std::uint32_t error;
};
// One attempt at `op` on `fd`. False when it would block; otherwise fills `out`. Sends loop
// over partial writes so that a send completes with all its bytes, as an overlapped send
// does on Windows.
bool attempt(int fd, queued_op* op, outcome& out);
completion completion_of(const socket_state& state, queued_op* op, bool success,
                         std::uint32_t bytes, std::uint32_t error);
bool would_block(int error);

// Runs waiting operations in FIFO order until one would block; queues a completion for
// each that ended. Called with state.mutex held.
void progress_receives(socket_state& state);
void progress_sends(socket_state& state);
// Ends every waiting operation of `fifo` with failure and `error`. Called with state.mutex held.
void fail_waiting(socket_state& state, op_fifo& fifo, std::uint32_t error);

std::uint32_t errno_to_win32(int error);

}  // namespace platform::linux_backend
