#pragma once
// The addresses of the mode proxy tests (a client behind the Wintun adapter, the adapter's
// own address, a web server outside) and the frame helpers they share with the NAT tests.

#include "nat_gateway/nat_frames.h"
#include "net/checksum.h"
#include "net/headers.h"

namespace redirect_test {

using nat_test::checksums_ok;
using nat_test::destination_of;
using nat_test::destination_port_of;
using nat_test::frame_spec;
using nat_test::make_frame;
using nat_test::source_of;
using nat_test::source_port_of;

inline const net::ip_address_v4 client{10, 9, 0, 2};
inline const net::ip_address_v4 wintun{10, 9, 0, 1};
inline const net::ip_address_v4 web{203, 0, 113, 5};

}  // namespace redirect_test
