#pragma once
// Runs a filter's packet callback so that nothing it throws (an allocation failing under
// memory pressure, a bug) escapes the filter thread and ends the process: the packet is
// dropped, counted in `failures`, and the thread goes on with the next one.

#include <atomic>
#include <cstdint>

#include "tarnwell/control_interface.h"

namespace tarnwell {

template <class Action, class Callback>
Action guarded_packet_callback(const Callback& callback, std::uint64_t handle, INTERMEDIATE_BUFFER& buffer,
                               Action drop, std::atomic<std::uint64_t>& failures) noexcept
{
    try {
        return callback(handle, buffer);
    } catch (...) {
        failures.fetch_add(1, std::memory_order_relaxed);
        return drop;
    }
}

}  // namespace tarnwell
