#pragma once
// The calling thread's last error: the value IP Helper style calls leave behind for the
// caller's log line. One header, one backend per OS.
//
// Windows: GetLastError/SetLastError, so a value set here is also what the OS calls of the
// same thread see and overwrite. Linux: a thread_local value that only this project sets;
// it holds Win32 error codes (platform/win32_errors.h) so log lines carry the same
// numbers on both systems.

#include <cstdint>

namespace platform {

std::uint32_t get_thread_error();
void set_thread_error(std::uint32_t error);

}  // namespace platform
