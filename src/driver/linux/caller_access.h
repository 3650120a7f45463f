#pragma once
// Reaching into a caller's process: its memory through process_vm_readv/writev and its
// eventfds through pidfd_getfd. Called from control-request threads.

#include <sys/types.h>

#include <cstdint>

#include "driver/driver_host.h"

namespace corvflt::linux_host {

// Like a probe: true only when every byte was transferred.
// read_caller_memory serves consecutive reads of one request from a window read ahead in
// one system call (batch requests read hundreds of adjacent buffers). Only bytes actually
// read from the caller during the current request are served; begin_caller_request, called
// by the control thread before each request, forgets the window.
void begin_caller_request();
bool read_caller_memory(pid_t pid, std::uint64_t address, void* destination, std::uint32_t length);
bool write_caller_memory(pid_t pid, std::uint64_t address, const void* source,
                         std::uint32_t length);

// Writes blocks to the caller in as few system calls as the iovec limit allows; returns how
// many leading blocks were written completely (see driver_host::write_user_blocks).
std::uint32_t write_caller_blocks(pid_t pid, const user_block* blocks, std::uint32_t count);
std::uint32_t read_caller_blocks(pid_t pid, const user_block* blocks, std::uint32_t count);

struct caller;

// A duplicate of the caller's descriptor `fd_number` when it is a non-blocking eventfd and
// the caller is still present, else -1.
int duplicate_caller_eventfd(const caller& c, std::uint64_t fd_number);
// Adds 1 to an eventfd from duplicate_caller_eventfd without ever blocking; false when
// nothing was written (the counter is full, or the caller made the file blocking and the
// counter could not take the write at once).
bool signal_caller_eventfd(int fd);

// True when `fd` (ours) is an eventfd.
bool is_eventfd(int fd);

}  // namespace corvflt::linux_host
