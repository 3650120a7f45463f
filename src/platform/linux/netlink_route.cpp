#include "platform/linux/netlink_route.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/interface_table.h"
#include "platform/win32_errors.h"

namespace platform::netlink {

request::request(std::uint16_t type, std::uint16_t flags, const void* family_header,
                 std::size_t family_header_length)
{
    nlmsghdr* h = header();
    h->nlmsg_type = type;
    h->nlmsg_flags = static_cast<std::uint16_t>(flags | NLM_F_REQUEST);
    // The family headers of rtnetlink are a few bytes: they always fit.
    std::memcpy(buffer_ + NLMSG_HDRLEN, family_header, family_header_length);
    h->nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(family_header_length));
}

bool request::add_attribute(std::uint16_t type, const void* data, std::size_t length)
{
    nlmsghdr* h = header();
    const std::size_t offset = NLMSG_ALIGN(h->nlmsg_len);
    const std::size_t total = RTA_LENGTH(length);
    if (offset + RTA_ALIGN(total) > sizeof buffer_)
        return false;
    rtattr attribute{};
    attribute.rta_type = type;
    attribute.rta_len = static_cast<unsigned short>(total);
    std::memcpy(buffer_ + offset, &attribute, sizeof attribute);
    std::memcpy(buffer_ + offset + RTA_LENGTH(0), data, length);
    h->nlmsg_len = static_cast<std::uint32_t>(offset + RTA_ALIGN(total));
    return true;
}

route_socket::route_socket(std::uint32_t groups)
{
    fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    // A kernel that never answered would otherwise hang the caller forever.
    timeval timeout{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    socklen_t length = sizeof local;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error_ = errno;
        close(fd_);
        fd_ = -1;
        return;
    }
    port_ = local.nl_pid;
}

route_socket::~route_socket()
{
    if (fd_ >= 0)
        close(fd_);
}

int route_socket::exchange(nlmsghdr* message,
                           const std::function<void(const nlmsghdr&)>& on_message)
{
    if (fd_ < 0)
        return error_ ? error_ : EBADF;
    message->nlmsg_seq = ++sequence_;
    message->nlmsg_pid = port_;
    const bool dump = (message->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd_, message, message->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0)
        return errno;

    std::vector<unsigned char> buffer(64 * 1024);
    bool interrupted = false;
    for (;;) {
        const ssize_t received = recv(fd_, buffer.data(), buffer.size(), 0);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        // A datagram larger than the buffer was cut; its tail is lost.
        std::size_t remaining = static_cast<std::size_t>(received);
        auto* h = reinterpret_cast<nlmsghdr*>(buffer.data());
        for (; NLMSG_OK(h, remaining); h = NLMSG_NEXT(h, remaining)) {
            if (h->nlmsg_seq != message->nlmsg_seq || h->nlmsg_pid != port_)
                continue;  // a late reply of an earlier request
            if (h->nlmsg_flags & NLM_F_DUMP_INTR)
                interrupted = true;
            if (h->nlmsg_type == NLMSG_DONE)
                return interrupted ? EAGAIN : 0;
            if (h->nlmsg_type == NLMSG_ERROR) {
                if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
                    return EPROTO;
                nlmsgerr error;
                std::memcpy(&error, NLMSG_DATA(h), sizeof error);
                return error.error < 0 ? -error.error : 0;
            }
            on_message(*h);
            if (!dump)
                return 0;
        }
        if (remaining != 0)
            return EPROTO;
    }
}

void for_each_attribute(const rtattr* first, std::size_t length,
                        const std::function<void(std::uint16_t, const void*, std::size_t)>&
                            on_attribute)
{
    unsigned int remaining = static_cast<unsigned int>(length);
    for (const rtattr* a = first; RTA_OK(a, remaining); a = RTA_NEXT(a, remaining))
        on_attribute(static_cast<std::uint16_t>(a->rta_type & NLA_TYPE_MASK), RTA_DATA(a),
                     RTA_PAYLOAD(a));
}

std::uint32_t win32_error_from_errno(int error)
{
    switch (error) {
    case 0:
        return error_success;
    case ENOMEM:
    case ENOBUFS:
        return error_not_enough_memory;
    case EACCES:
    case EPERM:
        return error_access_denied;
    case ENETUNREACH:
        return error_network_unreachable;
    case EHOSTUNREACH:
        return error_host_unreachable;
    case ENOENT:
    case ENODEV:
    case ESRCH:
        return error_not_found;
    case EINVAL:
    case EAFNOSUPPORT:
        return error_invalid_parameter;
    case EOPNOTSUPP:
    case EPROTONOSUPPORT:
        return error_not_supported;
    default:
        return error_gen_failure;
    }
}

}  // namespace platform::netlink
