#pragma once
// State of a packet filter or of one slot of the dual filter. Written by the owner (and
// the dual filter's watcher), read by the filter's threads without a lock.

#include <cstdint>

namespace tarnwell {

enum class filter_state : std::uint32_t { stopped = 0, starting = 1, running = 2, stopping = 3 };

}  // namespace tarnwell
