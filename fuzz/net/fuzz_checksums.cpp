#include "fuzz_frame.h"
#include "net/checksum.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto buffer = net_fuzz::frame_from_input(data, size);
    net::refresh_tcp_checksum(*buffer);
    net::refresh_udp_checksum(*buffer);
    net::refresh_icmp_checksum(*buffer);
    net::refresh_ip_checksum(*buffer);
    return 0;
}
