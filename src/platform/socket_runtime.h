#pragma once
// Process-wide start and end of the socket library (Winsock 2.2 on Windows; nothing to do on
// Linux). Calls nest: each successful socket_startup() needs one socket_cleanup().

#include <cstdint>

namespace platform {

// 0 on success, else the OS error.
std::uint32_t socket_startup();
void socket_cleanup();

}  // namespace platform
