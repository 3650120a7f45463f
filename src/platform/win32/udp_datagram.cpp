// One UDP datagram over a Winsock socket.

#include "platform/udp_datagram.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace platform {

udp_send_result send_udp_datagram(const in_addr& address, std::uint16_t port, const void* data,
                                  std::size_t length)
{
    udp_send_result result;
    WSADATA wsa;
    const int started = ::WSAStartup(MAKEWORD(2, 2), &wsa);
    if (started != 0) {
        result.socket_error = static_cast<std::uint32_t>(started);
        return result;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        result.socket_error = static_cast<std::uint32_t>(::WSAGetLastError());
    } else {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = ::htons(port);
        to.sin_addr = address;
        const int capped = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
        const int sent = ::sendto(s, static_cast<const char*>(data), capped, 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (sent == SOCKET_ERROR)
            result.send_error = static_cast<std::uint32_t>(::WSAGetLastError());
        else
            result.bytes_sent = static_cast<std::size_t>(sent);
        ::closesocket(s);
    }
    ::WSACleanup();
    return result;
}

}  // namespace platform
