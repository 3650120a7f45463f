// User-mode hosts (fake, Linux): a spinning thread yields so that a preempted lock holder
// on the same core can finish.
#include <thread>

#include "driver/host_primitives.h"

namespace corvflt {

void host_cpu_relax() { std::this_thread::yield(); }

}  // namespace corvflt
