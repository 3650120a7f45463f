#include "platform/socket_runtime.h"

namespace platform {

// BSD sockets need no process-wide start.
std::uint32_t socket_startup()
{
    return 0;
}

void socket_cleanup() {}

}  // namespace platform
