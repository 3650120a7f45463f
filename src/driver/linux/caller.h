#pragma once
// The identity behind one open handle of the control device: the process at the other end
// of one control-socket connection, bound at accept to that process and to the address
// space it had then. The core's `open_handle` values are addresses of these records; the
// control server keeps each alive from open_handle to close_handle, and the core only
// passes an open handle back to the host while a request of it is in flight.
//
// A pid alone names whatever process holds it now: after the caller exits and its pid is
// reused, or after it execs another program, the daemon would reach into a process that
// never asked. `pidfd` names the process itself; `memory_fd` (its /proc/PID/mem) stays tied
// to the address space it was opened on and reads nothing once that is gone, through exit
// or exec. caller_present() checks both before every access to the caller.

#include <sys/types.h>

#include <cstdint>

namespace corvflt::linux_host {

struct caller {
    pid_t pid = 0;       // from SO_PEERCRED at accept
    int pidfd = -1;      // the peer process (SO_PEERPIDFD where the kernel has it)
    int memory_fd = -1;  // /proc/PID/mem opened at accept
};

// Binds `c` to the connected peer of `socket_fd` whose SO_PEERCRED pid is `pid`. False (and
// nothing left open) when the process is already gone or cannot be opened.
bool bind_caller(caller* c, int socket_fd, pid_t pid);
// Closes what bind_caller opened.
void unbind_caller(caller* c);
// True while the process that connected is alive and still runs the program whose address
// space it had at accept. A pid can only be reused after its process exited, so while this
// holds, `pid` still names the caller. (What is checked can change right after: an access
// that follows is bound to the caller only as tightly as the check.)
bool caller_present(const caller& c);

inline std::uint64_t to_open_handle(caller* c) { return reinterpret_cast<std::uintptr_t>(c); }
inline caller* from_open_handle(std::uint64_t h) { return reinterpret_cast<caller*>(h); }

}  // namespace corvflt::linux_host
