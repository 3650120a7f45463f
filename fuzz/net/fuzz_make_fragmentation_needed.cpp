#include "fuzz_frame.h"
#include "net/rewriters.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto buffer = net_fuzz::frame_from_input(data, size);
    if (net::make_fragmentation_needed(*buffer, 1280) && buffer->length > tarnwell::MAX_ETHER_FRAME)
        __builtin_trap();
    return 0;
}
