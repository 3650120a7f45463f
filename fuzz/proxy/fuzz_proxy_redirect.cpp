// The redirect rewriters of mode proxy on hostile frames: each input frame goes through the
// client side (a SYN or a new UDP endpoint first, so that tables hold it) and then, as if a
// local server had answered, through the server side. Every rewrite must keep the frame
// inside its area (AddressSanitizer watches the buffer's edges) and its lengths in agreement.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "net/byte_order.h"
#include "net/headers.h"
#include "net/fuzz_frame.h"
#include "proxy/tcp_redirect.h"
#include "proxy/udp_redirect.h"

namespace {

// A rewritten datagram fills its frame exactly: the frame length, the IP length and the
// frame area agree, or the host would take it for a truncated or padded one.
void check_lengths(const tarnwell::INTERMEDIATE_BUFFER& b)
{
    if (b.length > sizeof b.frame)
        std::abort();
    const auto layout = net::locate_ipv4(b);
    if (!layout || net::ether_header_size + layout->total_length != b.length)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static proxy::tcp_redirect tcp(61000, {}, log_level::none);
    static proxy::udp_redirect udp(61001, {}, log_level::none);
    tcp.set_local_address(net::ip_address_v4{10, 9, 0, 1});
    udp.set_local_address(net::ip_address_v4{10, 9, 0, 1});

    auto frame = net_fuzz::frame_from_input(data, size);
    // The length field of the input may lie; the UDP rewrites set it, and must set it within
    // bounds (a TCP rewrite leaves it as it was).
    tcp.client_to_server(*frame);
    udp.is_new_client_endpoint(*frame);
    if (udp.client_to_server(*frame) == proxy::udp_redirect::outcome::rewritten)
        check_lengths(*frame);

    // Now the same bytes as a server's reply to that client: swap the ends.
    if (auto* ip = net::ipv4_header_of(*frame)) {
        std::swap(ip->source, ip->destination);
        if (auto* t = net::tcp_header_of(*frame)) {
            std::swap(t->source_port, t->destination_port);
            tcp.server_to_client(*frame);
        } else if (auto* u = net::udp_header_of(*frame)) {
            std::swap(u->source_port, u->destination_port);
            if (udp.server_to_client(*frame))
                check_lengths(*frame);
        }
    }
    return 0;
}
