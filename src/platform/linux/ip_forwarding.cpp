// IPv4 forwarding through /proc/sys/net/ipv4/ip_forward (the calling thread's namespace).

#include "platform/ip_forwarding.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/win32_errors.h"

namespace platform {
namespace {

constexpr const char* forward_file = "/proc/sys/net/ipv4/ip_forward";

std::uint32_t win32_error_of(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return error_access_denied;
    case ENOENT:
        return error_file_not_found;
    default:
        return error_gen_failure;
    }
}

}  // namespace

struct ip_forwarding_request::state {
    bool enabled = false;
    char previous = '0';  // the first character found in the file at enable
};

ip_forwarding_request::ip_forwarding_request() : state_(std::make_unique<state>()) {}

ip_forwarding_request::~ip_forwarding_request() = default;

std::uint32_t ip_forwarding_request::enable_router()
{
    const int fd = ::open(forward_file, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return win32_error_of(errno);
    char value = '0';
    std::uint32_t result = error_io_pending;
    const ssize_t got = ::pread(fd, &value, 1, 0);
    if (got != 1)
        result = got < 0 ? win32_error_of(errno) : error_gen_failure;
    else if (::pwrite(fd, "1\n", 2, 0) != 2)
        result = win32_error_of(errno);
    ::close(fd);
    if (result != error_io_pending)
        return result;
    // A second enable while the first is outstanding must not record our own 1 as "before".
    if (!state_->enabled)
        state_->previous = value;
    state_->enabled = true;
    return error_io_pending;
}

std::uint32_t ip_forwarding_request::unenable_router()
{
    if (!state_->enabled)
        return error_success;
    state_->enabled = false;
    if (state_->previous == '1')
        return error_success;
    const int fd = ::open(forward_file, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return win32_error_of(errno);
    const char text[2] = {state_->previous, '\n'};
    const std::uint32_t result = ::write(fd, text, 2) == 2 ? error_success : win32_error_of(errno);
    ::close(fd);
    return result;
}

}  // namespace platform
