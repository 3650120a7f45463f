#include "fuzz_frame.h"
#include "net/rewriters.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto buffer = net_fuzz::frame_from_input(data, size);
    net::make_ntp_reply(*buffer, 1700000000123ull);
    return 0;
}
