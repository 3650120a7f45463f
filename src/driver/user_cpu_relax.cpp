// User-mode hosts (fake, Linux): a spinning thread yields so that a preempted lock holder
// on the same core can finish.
#include <thread>

#include "driver/host_primitives.h"

namespace corvflt {

void host_cpu_relax() { std::this_thread::yield(); }

// No interrupt levels in user mode: a preempted holder is rescheduled like any thread.
std::uint32_t host_lock_enter() { return 0; }
void host_lock_leave(std::uint32_t) {}

}  // namespace corvflt
