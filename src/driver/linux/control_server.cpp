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
#include <system_error>

#include "driver/driver_constants.h"
#include "driver/linux/caller.h"
#include "driver/linux/caller_access.h"
#include "driver/linux/linux_host.h"
#include "driver/linux/log.h"

namespace corvflt::linux_host {

namespace {

constexpr ntstatus STATUS_ACCESS_DENIED = 0xC0000022;

// Room for a few reply chunks in the socket; the kernel doubles it.
constexpr int reply_send_buffer = 1 << 20;
// How long the accept loop waits before it tries again when the process or the system has
// no descriptor (or memory) left for a new connection: the pending connection keeps the
// listening socket readable, so retrying at once would spin.
constexpr int accept_backoff_ms = 100;

bool accept_failure_is_transient(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The parents are created as a system directory would be; the socket's own directory is
// root's alone. An existing one is used only if nobody but its owner (this daemon's user)
// can change what lies in it: otherwise another user could replace the socket under it.
bool make_directory(const std::string& directory, std::string* error)
{
    for (std::size_t i = 1; i <= directory.size(); ++i) {
        if (i != directory.size() && directory[i] != '/')
            continue;
        const std::string partial = directory.substr(0, i);
        const mode_t mode = i == directory.size() ? 0700 : 0755;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
            *error = "cannot create " + partial + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (lstat(directory.c_str(), &st) != 0) {
        *error = "cannot examine " + directory + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = directory + " is not a directory";
        return false;
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        *error = directory + " must belong to uid " + std::to_string(geteuid()) +
                 " and be writable by nobody else";
        return false;
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

bool send_all_of(int fd, const msghdr& message)
{
    for (;;) {
        if (sendmsg(fd, &message, MSG_NOSIGNAL) >= 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

}  // namespace

struct control_server::connection : caller {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::unique_ptr<std::uint8_t[]> buffer;  // the system buffer, reused between requests
};

control_server::control_server(driver& core, std::uint32_t max_connections)
    : core_(core), max_connections_(max_connections)
{
}

control_server::~control_server() { stop(); }

bool control_server::start(const std::string& directory, std::string* error)
{
    path_ = directory + "/" + tarnwell::CORVFLT_DEVICE_NAME;
    if (path_.size() >= sizeof(sockaddr_un::sun_path)) {
        *error = "socket path too long: " + path_;
        return false;
    }
    if (!make_directory(directory, error))
        return false;
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
    if (listen_fd_ < 0 || stop_fd_ < 0) {
        *error = std::string("cannot create the control socket: ") + std::strerror(errno);
        return false;
    }
    // The socket file is born owner-only: there is no moment in which another user could
    // connect (or the file could be opened) before a chmod.
    const mode_t previous = umask(0177);
    const bool bound =
        bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const int bind_error = errno;
    umask(previous);
    if (!bound || listen(listen_fd_, 64) != 0) {
        *error = "cannot listen on " + path_ + ": " + std::strerror(bound ? errno : bind_error);
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
            shutdown(c->fd, SHUT_RDWR);  // ends the connection's blocking recv or send
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
        unbind_caller(c.get());
        close(c->fd);
    }
    close(listen_fd_);
    close(stop_fd_);
    listen_fd_ = stop_fd_ = -1;
    unlink(path_.c_str());
}

std::size_t control_server::open_connections()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t open = 0;
    for (const auto& c : connections_)
        open += c->finished.load() ? 0 : 1;
    return open;
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
        unbind_caller(c.get());
        close(c->fd);
    }
}

void control_server::accept_loop()
{
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    bool short_of_descriptors = false;
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            log_line("control: poll failed: %s; no more connections accepted", std::strerror(errno));
            break;
        }
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        reap_finished();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                break;
        }
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            short_of_descriptors = false;
            accept_one(fd);
            continue;
        }
        if (!accept_failure_is_transient(errno))
            continue;  // the peer gave up meanwhile (ECONNABORTED) or a signal: try again
        if (!short_of_descriptors)
            log_line("control: cannot accept: %s; retrying every %d ms", std::strerror(errno),
                     accept_backoff_ms);
        short_of_descriptors = true;
        pollfd stop{stop_fd_, POLLIN, 0};
        if (poll(&stop, 1, accept_backoff_ms) > 0)
            break;
    }
}

void control_server::accept_one(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        credentials.pid <= 0) {
        log_line("control: no peer credentials, connection refused");
        close(fd);
        return;
    }
    // Whoever holds a handle steers every adapter and reads and writes packets: root only.
    if (credentials.uid != 0) {
        log_line("control: uid %u (pid %d) refused: only root may open the device",
                 credentials.uid, credentials.pid);
        close(fd);
        return;
    }
    auto c = std::make_unique<connection>();
    c->fd = fd;
    if (!bind_caller(c.get(), fd, credentials.pid)) {
        log_line("control: pid %d is gone or cannot be opened, connection refused",
                 credentials.pid);
        close(fd);
        return;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &reply_send_buffer,
                   sizeof reply_send_buffer) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &reply_send_buffer, sizeof reply_send_buffer);
    connection* raw = c.get();
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || connections_.size() >= max_connections_) {
        if (!stopping_ && refused_++ % 1000 == 0)
            log_line("control: %u connections open, pid %d refused (%llu refused so far)",
                     max_connections_, credentials.pid,
                     static_cast<unsigned long long>(refused_));
        unbind_caller(raw);
        close(fd);
        return;
    }
    core_.open_handle(to_open_handle(raw));
    try {
        raw->thread = std::thread([this, raw] { serve(raw); });
    } catch (const std::system_error& e) {
        // No thread for it: the connection is refused as if the cap had been reached.
        log_line("control: no thread for pid %d (%s), connection refused", credentials.pid,
                 e.what());
        core_.close_handle(to_open_handle(raw));
        unbind_caller(raw);
        close(fd);
        return;
    }
    connections_.push_back(std::move(c));
}

bool control_server::send_reply(connection* c, std::uint32_t status, std::uint32_t bytes)
{
    // Large outputs (a big filter table, an OID buffer, a long batch) go out in chunks: one
    // message of several MiB would need the kernel to find that much contiguous memory and
    // a send buffer as large, and its failure would cost the caller its handle.
    std::uint32_t reply_header[2] = {status, bytes};
    const std::uint32_t first = bytes < reply_chunk ? bytes : reply_chunk;
    iovec out[2] = {{reply_header, sizeof reply_header}, {c->buffer.get(), first}};
    msghdr reply{};
    reply.msg_iov = out;
    reply.msg_iovlen = first ? 2 : 1;
    bool sent = send_all_of(c->fd, reply);
    for (std::uint32_t offset = first; sent && offset < bytes;) {
        const std::uint32_t n = bytes - offset < reply_chunk ? bytes - offset : reply_chunk;
        iovec part{c->buffer.get() + offset, n};
        msghdr more{};
        more.msg_iov = &part;
        more.msg_iovlen = 1;
        sent = send_all_of(c->fd, more);
        offset += n;
    }
    if (!sent)
        log_line("control: reply of %u bytes to pid %d failed: %s", bytes, c->pid,
                 std::strerror(errno));
    return sent;
}

bool control_server::send_held(connection* c, held_replies& held)
{
    std::uint32_t headers[held_replies::capacity][2];
    iovec parts[held_replies::capacity];
    mmsghdr messages[held_replies::capacity] = {};
    for (std::uint32_t i = 0; i < held.count; ++i) {
        headers[i][0] = held.statuses[i];
        headers[i][1] = 0;
        parts[i] = {headers[i], sizeof headers[i]};
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    std::uint32_t sent = 0;
    while (sent < held.count) {
        const int n = sendmmsg(c->fd, messages + sent, held.count - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        log_line("control: %u replies to pid %d failed: %s", held.count - sent, c->pid,
                 std::strerror(errno));
        held.count = 0;
        return false;
    }
    held.count = 0;
    return true;
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
    held_replies held;
    for (;;) {
        std::uint32_t header[2] = {};
        iovec in[2] = {{header, sizeof header}, {c->buffer.get(), max_system_buffer}};
        msghdr message{};
        message.msg_iov = in;
        message.msg_iovlen = 2;
        // With replies held, only a request that is already there is served before them.
        const ssize_t total = recvmsg(c->fd, &message, held.count != 0 ? MSG_DONTWAIT : 0);
        if (total < 0 && errno == EINTR)
            continue;
        if (total < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && held.count != 0) {
            if (!send_held(c, held))
                break;
            continue;
        }
        if (total <= 0)
            break;
        // The process that opened the handle exited or runs another program now: whoever
        // still holds the connection (a child, a receiver of the descriptor) gets nothing
        // done in its name, and the handle ends.
        if (!caller_present(*c)) {
            log_line("control: pid %d exited or exec'd; its handle is closed", c->pid);
            if (send_held(c, held))
                send_reply(c, STATUS_ACCESS_DENIED, 0);
            break;
        }
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
        if (bytes == 0 && held.count < held_replies::capacity) {
            held.statuses[held.count++] = status;
            continue;
        }
        if (!send_held(c, held) || !send_reply(c, status, bytes))
            break;
    }
    // The peer learns at once that the handle is gone; the descriptor itself is closed when
    // the accept thread reaps the connection.
    shutdown(c->fd, SHUT_RDWR);
    core_.close_handle(handle);
    c->finished.store(true);
}

}  // namespace corvflt::linux_host
