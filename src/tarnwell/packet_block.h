#pragma once
// One unit of work of the queued filter's pipeline: MAXIMUM_PACKET_BLOCK packet buffers and
// the three page-sized requests that move them -- the read request (the buffers' addresses
// in order) and the to-adapter and to-stack requests the processor fills.
//
// Owned by the queued filter; at any time exactly one pipeline thread or one queue holds
// it, so it is used without locks.

#include <cstdint>
#include <memory>

#include "tarnwell/batch_page.h"
#include "tarnwell/control_interface.h"

namespace tarnwell {

struct packet_block {
    // Allocates everything zeroed; throws std::bad_alloc.
    explicit packet_block(std::uint64_t adapter_handle);

    std::unique_ptr<INTERMEDIATE_BUFFER[]> buffers;
    batch_page read;
    batch_page to_adapter;
    batch_page to_stack;
};

}  // namespace tarnwell
