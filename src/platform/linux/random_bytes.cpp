#include "platform/random_bytes.h"

#include <sys/random.h>

#include <cerrno>

namespace platform {

bool fill_random(void* data, std::size_t length)
{
    auto* bytes = static_cast<unsigned char*>(data);
    while (length != 0) {
        const ssize_t n = ::getrandom(bytes, length, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace platform
