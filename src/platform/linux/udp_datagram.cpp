// One UDP datagram over a BSD socket.

#include "platform/udp_datagram.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

udp_send_result send_udp_datagram(const in_addr& address, std::uint16_t port, const void* data,
                                  std::size_t length)
{
    udp_send_result result;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        result.socket_error = static_cast<std::uint32_t>(errno);
        return result;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr = address;
    const ssize_t sent = ::sendto(fd, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent < 0)
        result.send_error = static_cast<std::uint32_t>(errno);
    else
        result.bytes_sent = static_cast<std::size_t>(sent);
    ::close(fd);
    return result;
}

}  // namespace platform
