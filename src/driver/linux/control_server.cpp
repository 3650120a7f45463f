#include "driver/linux/control_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "driver/driver_constants.h"
#include "driver/linux/caller.h"
#include "driver/linux/caller_access.h"
#include "driver/linux/linux_host.h"
#include "driver/linux/log.h"

namespace corvflt::linux_host {

namespace {

// Room for the biggest reply (8 + 530436 bytes) in one message; the kernel doubles it.
constexpr int reply_send_buffer = 1 << 20;

bool make_directory(const std::string& directory)
{
    std::string partial;
    for (std::size_t i = 0; i <= directory.size(); ++i) {
        if (i == directory.size() || (directory[i] == '/' && i > 0)) {
            partial = directory.substr(0, i);
            if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

sockaddr_un socket_address(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

}  // namespace

struct control_server::connection : caller {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::unique_ptr<std::uint8_t[]> buffer;  // the system buffer, reused between requests
};

control_server::control_server(driver& core) : core_(core) {}

control_server::~control_server() { stop(); }

bool control_server::start(const std::string& directory, std::string* error)
{
    path_ = directory + "/" + tarnwell::CORVFLT_DEVICE_NAME;
    if (path_.size() >= sizeof(sockaddr_un::sun_path)) {
        *error = "socket path too long: " + path_;
        return false;
    }
    if (!make_directory(directory)) {
        *error = "cannot create " + directory + ": " + std::strerror(errno);
        return false;
    }
    const sockaddr_un address = socket_address(path_);
    struct stat existing {};
    if (lstat(path_.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = path_ + " exists and is not a socket";
            return false;
        }
        // A socket that still accepts belongs to a running daemon: never take it over.
        const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const bool alive =
            probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&address),
                                  sizeof address) == 0;
        if (probe >= 0)
            close(probe);
        if (alive) {
            *error = "another corvflt is serving " + path_;
            return false;
        }
        unlink(path_.c_str());
    }
    listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listen_fd_ < 0 || stop_fd_ < 0 ||
        bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 64) != 0) {
        *error = "cannot listen on " + path_ + ": " + std::strerror(errno);
        return false;
    }
    accept_thread_ = std::thread([this] { accept_loop(); });
    return true;
}

void control_server::stop()
{
    if (!accept_thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& c : connections_)
            shutdown(c->fd, SHUT_RDWR);  // ends the connection's blocking recv
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stop_fd_, &one, sizeof one);
    accept_thread_.join();
    std::list<std::unique_ptr<connection>> remaining;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        remaining.swap(connections_);
    }
    for (auto& c : remaining) {
        c->thread.join();
        close(c->fd);
    }
    close(listen_fd_);
    close(stop_fd_);
    listen_fd_ = stop_fd_ = -1;
    unlink(path_.c_str());
}

void control_server::reap_finished()
{
    std::list<std::unique_ptr<connection>> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished.load()) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : done) {
        c->thread.join();
        close(c->fd);
    }
}

void control_server::accept_loop()
{
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        reap_finished();
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
            credentials.pid <= 0) {
            log_line("control: no peer credentials, connection refused");
            close(fd);
            continue;
        }
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &reply_send_buffer,
                       sizeof reply_send_buffer) != 0)
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &reply_send_buffer, sizeof reply_send_buffer);
        auto c = std::make_unique<connection>();
        c->fd = fd;
        c->pid = credentials.pid;
        connection* raw = c.get();
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            close(fd);
            break;
        }
        core_.open_handle(to_open_handle(raw));
        raw->thread = std::thread([this, raw] { serve(raw); });
        connections_.push_back(std::move(c));
    }
}

void control_server::serve(connection* c)
{
    const std::uint64_t handle = to_open_handle(c);
    // Room for the largest message accepted, so that each request is taken off the socket
    // with one call. Left uninitialised: only the pages that requests reach are ever touched.
    if (!c->buffer)
        c->buffer.reset(new (std::nothrow) std::uint8_t[max_system_buffer]);
    if (!c->buffer) {
        log_line("control: no memory for the request buffer of pid %d", c->pid);
        core_.close_handle(handle);
        c->finished.store(true);
        return;
    }
    for (;;) {
        std::uint32_t header[2] = {};
        iovec in[2] = {{header, sizeof header}, {c->buffer.get(), max_system_buffer}};
        msghdr message{};
        message.msg_iov = in;
        message.msg_iovlen = 2;
        const ssize_t total = recvmsg(c->fd, &message, 0);
        if (total < 0 && errno == EINTR)
            continue;
        if (total <= 0)
            break;
        const std::uint32_t in_length =
            total >= 8 ? static_cast<std::uint32_t>(total - 8) : 0;
        const std::uint32_t out_length = total >= 8 ? header[1] : 0;
        const std::uint32_t system_length = in_length > out_length ? in_length : out_length;
        ntstatus status = STATUS_SUCCESS;
        std::uint32_t bytes = 0;
        bool ok_to_dispatch = total >= 8;
        if (!ok_to_dispatch) {
            status = STATUS_INVALID_PARAMETER;
        } else if ((message.msg_flags & MSG_TRUNC) || system_length > max_system_buffer) {
            // Larger than any system buffer we grant: the message is dropped, never cut.
            status = STATUS_INSUFFICIENT_RESOURCES;
            ok_to_dispatch = false;
        }
        if (ok_to_dispatch) {
            // Whatever the handler does not write must not carry an earlier caller's data.
            std::memset(c->buffer.get() + in_length, 0, system_length - in_length);
            pending_request pending;
            begin_caller_request();
            status = core_.dispatch(handle, header[0], c->buffer.get(), in_length, out_length,
                                    &bytes, reinterpret_cast<std::uintptr_t>(&pending));
            if (status == STATUS_PENDING) {
                std::unique_lock<std::mutex> lock(pending.mutex);
                pending.done_signal.wait(lock, [&] { return pending.done; });
                status = pending.status;
                bytes = pending.bytes;
            }
            if (bytes > system_length)
                bytes = system_length;
        }
        std::uint32_t reply_header[2] = {status, bytes};
        iovec out[2] = {{reply_header, sizeof reply_header}, {c->buffer.get(), bytes}};
        msghdr reply{};
        reply.msg_iov = out;
        reply.msg_iovlen = bytes ? 2 : 1;
        if (sendmsg(c->fd, &reply, MSG_NOSIGNAL) < 0) {
            log_line("control: reply of %u bytes to pid %d failed: %s", bytes, c->pid,
                     std::strerror(errno));
            break;
        }
    }
    core_.close_handle(handle);
    c->finished.store(true);
}

}  // namespace corvflt::linux_host
