#include "platform/thread_error.h"

namespace platform {

namespace {
thread_local std::uint32_t thread_error = 0;
}

std::uint32_t get_thread_error() { return thread_error; }

void set_thread_error(std::uint32_t error) { thread_error = error; }

}  // namespace platform
