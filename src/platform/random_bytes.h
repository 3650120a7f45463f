#pragma once
// Unpredictable bytes from the operating system's CSPRNG (BCryptGenRandom / getrandom), for
// values an outsider must not guess, such as DNS transaction ids.

#include <cstddef>

namespace platform {

// Fills all `length` bytes; false (with `data` unspecified) when the system refused.
bool fill_random(void* data, std::size_t length);

}  // namespace platform
