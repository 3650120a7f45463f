#pragma once
// The identity behind one open handle of the control device: the process at the other end
// of one control-socket connection. The core's `open_handle` values are addresses of these
// records; the control server keeps each alive from open_handle to close_handle, and the
// core only passes an open handle back to the host while a request of it is in flight.

#include <sys/types.h>

#include <cstdint>

namespace corvflt::linux_host {

struct caller {
    pid_t pid = 0;  // from SO_PEERCRED at accept
};

inline std::uint64_t to_open_handle(caller* c) { return reinterpret_cast<std::uintptr_t>(c); }
inline caller* from_open_handle(std::uint64_t h) { return reinterpret_cast<caller*>(h); }

}  // namespace corvflt::linux_host
