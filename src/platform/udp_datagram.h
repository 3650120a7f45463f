#pragma once
// One UDP datagram sent from a fresh IPv4 socket that is closed right after: the NAT
// gateway's address probe. Blocking, no completion port. One header, one backend per OS.
//
// Windows: Winsock socket/sendto/closesocket, with a WSAStartup/WSACleanup pair around the
// call so that it works whoever started Winsock. Linux: BSD sockets.
//
// Errors are the OS's own codes (WSAGetLastError on Windows, errno on Linux), reported for
// the step that failed; nothing logs here.

#include <cstddef>
#include <cstdint>

#include "platform/inet_types.h"

namespace platform {

struct udp_send_result {
    std::uint32_t socket_error = 0;  // non-zero: the socket could not be created
    std::uint32_t send_error = 0;    // non-zero: sendto failed
    std::size_t bytes_sent = 0;
};

// Sends `length` bytes to `address`:`port` (host order) through the host's routing.
udp_send_result send_udp_datagram(const in_addr& address, std::uint16_t port, const void* data,
                                  std::size_t length);

}  // namespace platform
