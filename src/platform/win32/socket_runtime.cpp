#include "platform/socket_runtime.h"

#include <winsock2.h>

namespace platform {

std::uint32_t socket_startup()
{
    WSADATA data{};
    return static_cast<std::uint32_t>(WSAStartup(MAKEWORD(2, 2), &data));
}

void socket_cleanup()
{
    WSACleanup();
}

}  // namespace platform
