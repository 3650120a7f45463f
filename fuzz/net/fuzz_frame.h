#pragma once
// Shared by the frame fuzzers: the input's first 4 bytes become the buffer's frame length
// field (any value, lying ones included), the rest the frame. The buffer is its own heap
// allocation of exactly sizeof(INTERMEDIATE_BUFFER) so that AddressSanitizer reports any
// access past its end.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "tarnwell/control_interface.h"

namespace net_fuzz {

inline std::unique_ptr<tarnwell::INTERMEDIATE_BUFFER> frame_from_input(const std::uint8_t* data, std::size_t size)
{
    auto buffer = std::make_unique<tarnwell::INTERMEDIATE_BUFFER>();
    std::memset(buffer.get(), 0, sizeof(tarnwell::INTERMEDIATE_BUFFER));
    std::uint32_t length = 0;
    if (size >= 4) {
        std::memcpy(&length, data, 4);
        data += 4;
        size -= 4;
    }
    buffer->length = length;
    std::memcpy(buffer->frame, data, size < sizeof buffer->frame ? size : sizeof buffer->frame);
    // Most interesting frames are IPv4; let the fuzzer spend its time past the EtherType.
    buffer->frame[12] = 0x08;
    buffer->frame[13] = 0x00;
    return buffer;
}

}  // namespace net_fuzz
