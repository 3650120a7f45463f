// The control device as a SOCK_SEQPACKET connection to the corvflt host daemon (protocol in
// platform/control_device.h).

#include "platform/control_device.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr char device_prefix[] = "\\\\.\\";
constexpr char default_device_dir[] = "/run/corvflt";
// Room for the largest request the service sends (a filter table of a few thousand rules);
// the kernel caps it at net.core.wmem_max for unprivileged callers.
constexpr int send_buffer_bytes = 1 << 20;
constexpr std::size_t header_bytes = 8;

void put_u32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t get_u32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool is_disconnect(int error)
{
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ECONNREFUSED;
}

// Replies of posted requests that may wait unread: beyond this a post first reads the
// oldest, so that neither side's socket buffer can fill with replies nobody reads.
constexpr std::uint32_t max_unanswered_posts = 8;

// Owns one connected socket. Called by any number of threads; mutex_ keeps each request
// and its reply together (a posted request's reply is read by whichever call comes next),
// so replies need no tag and none is lost to another thread.
class socket_device final : public control_device {
public:
    explicit socket_device(int fd) : fd_(fd) {}
    ~socket_device() override { ::close(fd_); }

    std::uint32_t control(std::uint32_t code, const void* input, std::uint32_t input_length,
                          void* output, std::uint32_t output_length,
                          std::uint32_t* bytes_returned) override
    {
        if (bytes_returned)
            *bytes_returned = 0;
        if ((input_length && !input) || (output_length && !output))
            return error_invalid_parameter;

        std::lock_guard<std::mutex> lock(mutex_);
        if (broken_)
            return error_device_not_connected;
        // Sent before the posted replies are read: the daemon serves this request right
        // after the posted ones instead of waiting for us to collect their replies.
        if (const std::uint32_t error = send_request(code, input, input_length, output_length))
            return error;
        if (const std::uint32_t error = collect_posted())
            return error;
        return receive_reply(output, output_length, bytes_returned);
    }

    std::uint32_t post(std::uint32_t code, const void* input, std::uint32_t input_length) override
    {
        if (input_length && !input)
            return error_invalid_parameter;
        std::lock_guard<std::mutex> lock(mutex_);
        if (broken_)
            return error_device_not_connected;
        while (unanswered_ >= max_unanswered_posts) {
            if (const std::uint32_t error = collect_one_posted())
                return error;
        }
        if (const std::uint32_t error = send_request(code, input, input_length, 0))
            return error;
        ++unanswered_;
        return error_success;
    }

    void complete_posted() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        collect_posted();
    }

private:
    // Reads the oldest posted reply. Its status belongs to nobody and is dropped; only a
    // fault of the connection itself is an error (and ends the handle).
    std::uint32_t collect_one_posted()
    {
        const std::uint32_t error = receive_reply(nullptr, 0, nullptr);
        if (broken_) {
            unanswered_ = 0;
            return error;
        }
        --unanswered_;
        return error_success;
    }

    std::uint32_t collect_posted()
    {
        while (unanswered_ != 0) {
            if (const std::uint32_t error = collect_one_posted())
                return error;
        }
        return error_success;
    }

    std::uint32_t send_request(std::uint32_t code, const void* input, std::uint32_t input_length,
                               std::uint32_t output_length)
    {
        std::uint8_t header[header_bytes];
        put_u32(header, code);
        put_u32(header + 4, output_length);
        iovec parts[2] = {{header, sizeof header},
                          {const_cast<void*>(input), input_length}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        for (;;) {
            if (::sendmsg(fd_, &message, MSG_NOSIGNAL) >= 0)
                return error_success;
            if (errno == EINTR)
                continue;
            // Nothing was sent: the connection stays usable for smaller requests.
            if (errno == EMSGSIZE || errno == ENOBUFS || errno == ENOMEM)
                return error_no_system_resources;
            return fail(is_disconnect(errno) ? error_device_not_connected : error_gen_failure);
        }
    }

    std::uint32_t receive_reply(void* output, std::uint32_t output_length,
                                std::uint32_t* bytes_returned)
    {
        std::uint8_t header[header_bytes];
        iovec parts[2] = {{header, sizeof header}, {output, output_length}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        ssize_t n;
        for (;;) {
            n = ::recvmsg(fd_, &message, 0);
            if (n >= 0 || errno != EINTR)
                break;
        }
        if (n == 0)
            return fail(error_device_not_connected);
        if (n < 0)
            return fail(is_disconnect(errno) ? error_device_not_connected : error_gen_failure);
        // Replies are never truncated or short by a sound daemon; anything else means the
        // peer cannot be trusted with the next request either.
        if (static_cast<std::size_t>(n) < header_bytes || (message.msg_flags & MSG_TRUNC))
            return fail(error_gen_failure);
        std::size_t payload = static_cast<std::size_t>(n) - header_bytes;
        const std::uint32_t announced = get_u32(header + 4);
        if (announced < payload || announced > output_length)
            return fail(error_gen_failure);
        // A large output continues in further messages of output bytes only.
        while (payload < announced) {
            iovec rest{static_cast<std::uint8_t*>(output) + payload, announced - payload};
            msghdr part{};
            part.msg_iov = &rest;
            part.msg_iovlen = 1;
            ssize_t more;
            for (;;) {
                more = ::recvmsg(fd_, &part, 0);
                if (more >= 0 || errno != EINTR)
                    break;
            }
            if (more == 0)
                return fail(error_device_not_connected);
            if (more < 0)
                return fail(is_disconnect(errno) ? error_device_not_connected : error_gen_failure);
            if (part.msg_flags & MSG_TRUNC)  // more than the reply announced
                return fail(error_gen_failure);
            payload += static_cast<std::size_t>(more);
        }
        const std::uint32_t error = ntstatus_to_win32(get_u32(header));
        if (error == error_success && bytes_returned)
            *bytes_returned = static_cast<std::uint32_t>(payload);
        return error;
    }

    // After a failure in the middle of an exchange the next reply on the socket could
    // belong to this request: the handle is given up rather than risk a mismatch.
    std::uint32_t fail(std::uint32_t error)
    {
        broken_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        return error;
    }

    const int fd_;
    std::mutex mutex_;
    bool broken_ = false;           // guarded by mutex_
    std::uint32_t unanswered_ = 0;  // posted requests whose reply is unread; guarded by mutex_
};

std::uint32_t open_error(int error)
{
    switch (error) {
    case ENOENT:
    case ECONNREFUSED:  // a socket file left behind by a daemon that is gone
        return error_file_not_found;
    case ENOTDIR:
        return error_path_not_found;
    case EACCES:
    case EPERM:
        return error_access_denied;
    case EMFILE:
    case ENFILE:
        return error_too_many_open_files;
    case ENOMEM:
    case ENOBUFS:
        return error_not_enough_memory;
    default:
        return error_gen_failure;
    }
}

}  // namespace

open_device_result open_control_device(const std::string& path)
{
    open_device_result result;
    const std::size_t prefix_length = sizeof device_prefix - 1;
    if (path.compare(0, prefix_length, device_prefix) != 0) {
        result.error = error_path_not_found;
        return result;
    }
    const std::string name = path.substr(prefix_length);
    if (name.empty() || name.find_first_of("/\\") != std::string::npos) {
        result.error = error_invalid_name;
        return result;
    }
    const char* dir = std::getenv("CORVFLT_DEVICE_DIR");
    const std::string socket_path =
        std::string(dir && *dir ? dir : default_device_dir) + "/" + name;

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path) {
        result.error = error_filename_exced_range;
        return result;
    }
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);

    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.error = open_error(errno);
        return result;
    }
    // Best effort: when it is refused, only requests above the default limit fail.
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer_bytes, sizeof send_buffer_bytes);
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno == EISCONN)  // an interrupted connect that completed meanwhile
            break;
        result.error = open_error(errno);
        ::close(fd);
        return result;
    }
    result.device = std::make_unique<socket_device>(fd);
    return result;
}

}  // namespace platform
