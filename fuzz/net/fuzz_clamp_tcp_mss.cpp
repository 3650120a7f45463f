#include "fuzz_frame.h"
#include "net/checksum.h"
#include "net/rewriters.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto buffer = net_fuzz::frame_from_input(data, size);
    const std::uint32_t length = buffer->length;
    if (net::clamp_tcp_mss(*buffer, 1400, 1420)) {
        // A grown frame must still fit the frame area and its length must have grown by 4
        // (or the MSS was replaced in place).
        if (buffer->length != length && (buffer->length != length + 4 || buffer->length > tarnwell::MAX_ETHER_FRAME))
            __builtin_trap();
        net::refresh_tcp_checksum(*buffer);
        net::refresh_ip_checksum(*buffer);
    }
    return 0;
}
