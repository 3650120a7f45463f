#include "driver/linux/caller_access.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "driver/linux/caller.h"

namespace corvflt::linux_host {

namespace {

int pidfd_open_compat(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int pidfd_getfd_compat(int pidfd, int fd)
{
    return static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
}

bool transfer(pid_t pid, std::uint64_t address, void* local, std::uint32_t length, bool write)
{
    if (length == 0)
        return true;
    // An address range that wraps cannot name real memory; refuse it before the kernel
    // reads a partial range.
    if (address == 0 || address + length < address)
        return false;
    iovec local_iov{local, length};
    iovec remote_iov{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), length};
    const ssize_t n = write ? process_vm_writev(pid, &local_iov, 1, &remote_iov, 1, 0)
                            : process_vm_readv(pid, &local_iov, 1, &remote_iov, 1, 0);
    // A partial transfer means part of the range is not mapped: the whole access fails.
    return n == static_cast<ssize_t>(length);
}

// The read-ahead window of the calling control thread.
struct read_window {
    static constexpr std::uint32_t capacity = 64 * 1024;
    pid_t pid = 0;
    std::uint64_t base = 0;
    std::uint32_t size = 0;  // bytes valid from base; 0: empty
    std::unique_ptr<std::uint8_t[]> data;
};
thread_local read_window window;

}  // namespace

void begin_caller_request() { window.size = 0; }

bool read_caller_memory(pid_t pid, std::uint64_t address, void* destination, std::uint32_t length)
{
    if (length == 0)
        return true;
    if (address == 0 || address + length < address)
        return false;
    if (length > read_window::capacity / 4)
        return transfer(pid, address, destination, length, false);
    const auto inside = [&] {
        return window.size != 0 && window.pid == pid && address >= window.base &&
               address + length <= window.base + window.size;
    };
    if (!inside()) {
        if (!window.data)
            window.data.reset(new (std::nothrow) std::uint8_t[read_window::capacity]);
        if (!window.data)
            return transfer(pid, address, destination, length, false);
        // Read as far ahead as is mapped; a partial read is fine as long as it covers the
        // bytes asked for.
        std::uint64_t span = read_window::capacity;
        if (address + span < address)
            span = ~std::uint64_t{0} - address;
        iovec local_iov{window.data.get(), static_cast<std::size_t>(span)};
        iovec remote_iov{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)),
                         static_cast<std::size_t>(span)};
        const ssize_t n = process_vm_readv(pid, &local_iov, 1, &remote_iov, 1, 0);
        window.size = 0;
        if (n < static_cast<ssize_t>(length))
            return transfer(pid, address, destination, length, false);
        window.pid = pid;
        window.base = address;
        window.size = static_cast<std::uint32_t>(n);
    }
    std::memcpy(destination, window.data.get() + (address - window.base), length);
    return true;
}

bool write_caller_memory(pid_t pid, std::uint64_t address, const void* source,
                         std::uint32_t length)
{
    return transfer(pid, address, const_cast<void*>(source), length, true);
}

namespace {

// Appends one caller range to `remote`, joined to the last one when it starts where that
// one ends: the kernel pins the caller's pages once per range, and a batch's buffers are
// usually one array, so whole records (full frames, sends) join into a few ranges.
void add_remote_range(iovec* remote, std::uint32_t& ranges, std::uint64_t address, std::uint32_t length)
{
    if (length == 0)
        return;
    if (ranges != 0) {
        iovec& last = remote[ranges - 1];
        if (reinterpret_cast<std::uintptr_t>(last.iov_base) + last.iov_len == address) {
            last.iov_len += length;
            return;
        }
    }
    remote[ranges++] = {reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), length};
}

// process_vm_writev/readv over as many blocks as one call takes, repeated; the count of
// leading blocks transferred completely. The kernel copies the ranges in order and stops
// at the first byte it cannot reach, so joined ranges move exactly the bytes separate ones
// would.
std::uint32_t transfer_blocks(pid_t pid, const user_block* blocks, std::uint32_t count, bool write)
{
    constexpr std::uint32_t per_call = 256;  // well below IOV_MAX (1024)
    iovec local[per_call];
    iovec remote[per_call];
    std::uint32_t done = 0;
    while (done < count) {
        std::uint32_t n = 0;
        std::uint32_t ranges = 0;
        std::size_t total = 0;
        bool bad = false;
        while (n < per_call && done + n < count) {
            const user_block& b = blocks[done + n];
            // A null or wrapping range names no real memory: the copy ends before it.
            if (b.length != 0 && (b.address == 0 || b.address + b.length < b.address)) {
                bad = true;
                break;
            }
            local[n] = {write ? const_cast<void*>(b.source) : b.destination, b.length};
            add_remote_range(remote, ranges, b.address, b.length);
            total += b.length;
            ++n;
        }
        if (n == 0)
            return done;
        const ssize_t moved = write ? process_vm_writev(pid, local, n, remote, ranges, 0)
                                    : process_vm_readv(pid, local, n, remote, ranges, 0);
        if (moved == static_cast<ssize_t>(total)) {
            done += n;
            if (bad)
                return done;
            continue;
        }
        // The kernel stops at the first range it cannot reach: count the blocks before it.
        std::size_t left = moved > 0 ? static_cast<std::size_t>(moved) : 0;
        for (std::uint32_t i = 0; i < n && left >= local[i].iov_len; ++i) {
            left -= local[i].iov_len;
            ++done;
        }
        return done;
    }
    return done;
}

}  // namespace

std::uint32_t write_caller_blocks(pid_t pid, const user_block* blocks, std::uint32_t count)
{
    return transfer_blocks(pid, blocks, count, true);
}

std::uint32_t read_caller_blocks(pid_t pid, const user_block* blocks, std::uint32_t count)
{
    return transfer_blocks(pid, blocks, count, false);
}

bool is_eventfd(int fd)
{
    char link[64];
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0)
        return false;
    link[n] = '\0';
    return std::strcmp(link, "anon_inode:[eventfd]") == 0;
}

int duplicate_caller_eventfd(const caller& c, std::uint64_t fd_number)
{
    if (fd_number > 0x7FFFFFFF || !caller_present(c))
        return -1;
    const int fd = pidfd_getfd_compat(c.pidfd, static_cast<int>(fd_number));
    if (fd < 0)
        return -1;
    // Only eventfds: signalling writes 8 bytes, which on a pipe or socket of the caller
    // would inject data into an unrelated stream. And only non-blocking ones: the daemon
    // shares the caller's open file, so a blocking one filled to its maximum would block
    // the signalling thread until the caller reads it.
    const int flags = fcntl(fd, F_GETFL);
    if (!is_eventfd(fd) || flags < 0 || !(flags & O_NONBLOCK)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool signal_caller_eventfd(int fd)
{
    // The caller may have cleared O_NONBLOCK on its (shared) open file since it was
    // referenced: then write only when the counter can take it at once. A counter that
    // cannot take one more is as signalled as it gets anyway.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    if (!(flags & O_NONBLOCK)) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT))
            return false;
    }
    const std::uint64_t one = 1;
    return write(fd, &one, sizeof one) == sizeof one;
}

namespace {

#ifndef SO_PEERPIDFD
constexpr int SO_PEERPIDFD = 77;  // Linux 6.5; older kernels answer ENOPROTOOPT
#endif

// 0 while the address space behind `memory_fd` lives (address 0 is never mapped, so the
// read fails with EIO), 1 when it is gone: a /proc/PID/mem file reads nothing once its
// process exited or exec'd.
bool address_space_gone(int memory_fd)
{
    std::uint8_t byte;
    for (;;) {
        const ssize_t n = pread(memory_fd, &byte, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n == 0;
    }
}

bool process_exited(int pidfd)
{
    pollfd p{pidfd, POLLIN, 0};
    return poll(&p, 1, 0) != 0;  // readable (or an error) once the process exited
}

}  // namespace

bool bind_caller(caller* c, int socket_fd, pid_t pid)
{
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    // The socket's own reference names the process that connected, even if it has exited
    // and its pid was reused before this accept; pidfd_open by number cannot tell.
    if (getsockopt(socket_fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0 || pidfd < 0)
        pidfd = pidfd_open_compat(pid);
    if (pidfd < 0)
        return false;
    const std::string path = "/proc/" + std::to_string(pid) + "/mem";
    const int memory_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    // Opened before the exit check: a process still alive after the open held its pid
    // throughout, so the file belongs to it.
    if (memory_fd < 0 || process_exited(pidfd) || address_space_gone(memory_fd)) {
        if (memory_fd >= 0)
            close(memory_fd);
        close(pidfd);
        return false;
    }
    c->pid = pid;
    c->pidfd = pidfd;
    c->memory_fd = memory_fd;
    return true;
}

void unbind_caller(caller* c)
{
    if (c->memory_fd >= 0)
        close(c->memory_fd);
    if (c->pidfd >= 0)
        close(c->pidfd);
    c->memory_fd = c->pidfd = -1;
}

bool caller_present(const caller& c)
{
    return c.pidfd >= 0 && c.memory_fd >= 0 && !process_exited(c.pidfd) &&
           !address_space_gone(c.memory_fd);
}

}  // namespace corvflt::linux_host
