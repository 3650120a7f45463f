#pragma once
// The blocking SOCKS5 UDP ASSOCIATE exchange of the SOCKS5 UDP server. Runs on the completion
// worker that handles a client endpoint's first datagram, on a TCP socket already connected
// to the proxy; the TCP connection must stay open for as long as the association is used.

#include <cstdint>
#include <optional>

#include "platform/socket.h"
#include "service/logging.h"

namespace proxy {

// How long each step of the exchange may block a completion worker.
inline constexpr std::uint32_t associate_step_timeout_ms = 5000;

// Offers "no authentication", asks for an association for any client address and returns
// the relay's port (host order), or nothing when the proxy refuses or the exchange fails.
// The relay is taken to listen on the proxy's own address. Lines go out at log level all
// with the prefix "socks5_udp_proxy_server: ".
std::optional<std::uint16_t> associate_to_socks5_proxy(platform::socket_handle s,
                                                       const log_printer& printer, log_level level,
                                                       std::uint32_t timeout_ms = associate_step_timeout_ms);

}  // namespace proxy
