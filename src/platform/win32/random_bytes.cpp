#include "platform/random_bytes.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <climits>

namespace platform {

bool fill_random(void* data, std::size_t length)
{
    auto* bytes = static_cast<unsigned char*>(data);
    while (length != 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(length, ULONG_MAX));
        if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        bytes += chunk;
        length -= chunk;
    }
    return true;
}

}  // namespace platform
