// The socket address conversions of platform/socket.h and platform/host_addresses.h: the
// same on both backends, since sockaddr_in and sockaddr_in6 have one layout in Winsock and
// BSD sockets.
#include <algorithm>
#include <cstring>

#include "platform/host_addresses.h"
#include "platform/inet_types.h"
#include "platform/socket.h"

namespace platform {

int make_ipv4_address(socket_address& out, const in_addr& address, std::uint16_t port)
{
    std::memset(out.bytes, 0, sizeof out.bytes);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = address;
    sa.sin_port = htons(port);
    std::memcpy(out.bytes, &sa, sizeof sa);
    return static_cast<int>(sizeof sa);
}

bool read_ipv4_address(const socket_address& in, int length, in_addr& address,
                       std::uint16_t& port)
{
    if (length < static_cast<int>(sizeof(sockaddr_in)))
        return false;
    sockaddr_in sa;
    std::memcpy(&sa, in.bytes, sizeof sa);
    if (sa.sin_family != AF_INET)
        return false;
    address = sa.sin_addr;
    port = ntohs(sa.sin_port);
    return true;
}

int make_ipv6_address(socket_address& out, const std::uint8_t (&address)[16], std::uint16_t port)
{
    std::memset(out.bytes, 0, sizeof out.bytes);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    std::memcpy(&sa.sin6_addr, address, 16);
    std::memcpy(out.bytes, &sa, sizeof sa);
    return static_cast<int>(sizeof sa);
}

bool read_ipv6_address(const socket_address& in, int length, std::uint8_t (&address)[16],
                       std::uint16_t& port)
{
    if (length < static_cast<int>(sizeof(sockaddr_in6)))
        return false;
    sockaddr_in6 sa;
    std::memcpy(&sa, in.bytes, sizeof sa);
    if (sa.sin6_family != AF_INET6)
        return false;
    std::memcpy(address, &sa.sin6_addr, 16);
    port = ntohs(sa.sin6_port);
    return true;
}

void append_unique_host_address(const sockaddr* sa, std::size_t length, std::vector<host_address>& out)
{
    host_address address;
    if (sa->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        address.is_v6 = true;
        std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, 16);
    } else {
        return;
    }
    const bool seen = std::any_of(out.begin(), out.end(), [&](const host_address& other) {
        return other.is_v6 == address.is_v6 && std::memcmp(other.bytes, address.bytes, 16) == 0;
    });
    if (!seen)
        out.push_back(address);
}

}  // namespace platform
