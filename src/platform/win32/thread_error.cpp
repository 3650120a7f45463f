#include "platform/thread_error.h"

#include <windows.h>

namespace platform {

std::uint32_t get_thread_error() { return GetLastError(); }

void set_thread_error(std::uint32_t error) { SetLastError(error); }

}  // namespace platform
