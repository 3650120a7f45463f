#include "tarnwell/packet_block.h"

namespace tarnwell {

packet_block::packet_block(std::uint64_t adapter_handle)
    : buffers(std::make_unique<INTERMEDIATE_BUFFER[]>(MAXIMUM_PACKET_BLOCK))
{
    read.prepare_read(adapter_handle, buffers.get(), MAXIMUM_PACKET_BLOCK);
    to_adapter.prepare_empty(adapter_handle);
    to_stack.prepare_empty(adapter_handle);
}

}  // namespace tarnwell
