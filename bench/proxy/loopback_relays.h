#pragma once
// What the relay benchmarks and the relay runner share: loopback listeners and the relay
// under test, tcp_proxy_server (direct) forwarding every connection to one loopback port.

#include <memory>
#include <tuple>

#include "proxy/tcp_proxy_server.h"

namespace bench_relays {

inline const net::ip_address_v4 loopback_v4{127, 0, 0, 1};
inline in_addr loopback() { return loopback_v4.to_in_addr(); }

// A listening socket on a loopback port the system chooses; `port` receives it.
inline platform::socket_handle listen_on_loopback(std::uint16_t& port)
{
    std::uint32_t e = 0;
    platform::socket_handle s = platform::open_tcp_socket(e);
    platform::bind_ipv4(s, loopback(), 0);
    platform::local_port(s, port);
    platform::listen_socket(s);
    return s;
}

// A loopback port free a moment ago, for peers that must be told their port (socat, haproxy).
inline std::uint16_t free_port()
{
    std::uint32_t e = 0;
    platform::socket_handle s = platform::open_tcp_socket(e);
    std::uint16_t port = 0;
    platform::bind_ipv4(s, loopback(), 0);
    platform::local_port(s, port);
    platform::close_socket(s);
    return port;
}

using relay_server = proxy::tcp_proxy_server<proxy::tcp_proxy_socket>;

// Started; the caller stops it before the port's pool.
inline std::unique_ptr<relay_server> start_direct_relay(proxy::io_completion_port& port, std::uint16_t destination)
{
    auto relay = std::make_unique<relay_server>(
        0, port,
        [destination](net::ip_address_v4, std::uint16_t) {
            return std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<proxy::negotiate_context>>(
                loopback_v4, destination, nullptr);
        },
        log_printer{}, log_level::none, loopback_v4);
    if (!relay->start())
        return nullptr;
    return relay;
}

}  // namespace bench_relays
