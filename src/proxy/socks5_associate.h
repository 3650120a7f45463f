#pragma once
// The blocking SOCKS5 UDP ASSOCIATE exchange of the SOCKS5 UDP server. Runs on one of that
// server's associate threads (never on a completion worker), on a TCP socket already
// connected to the proxy; the TCP connection must stay open for as long as the association
// is used.
//
// The whole exchange runs against one deadline, not one per read: a proxy that drips its
// answer a byte at a time would otherwise hold the thread for a timeout per byte.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/socket.h"
#include "log/log.h"

namespace proxy {

// Offers "no authentication", asks for an association for any client address and returns
// the relay's port (host order), or nothing when the proxy refuses, the exchange fails, the
// deadline passes or `cancel` is set (checked at least every 100 ms while waiting). The relay
// is taken to listen on the proxy's own address. Lines go out at log level all with the
// prefix "socks5_udp_proxy_server: "; a missed deadline reads as error 10060, a cancel as 995.
std::optional<std::uint16_t> associate_to_socks5_proxy(platform::socket_handle s,
                                                       const log_printer& printer, log_level level,
                                                       std::chrono::steady_clock::time_point deadline,
                                                       const std::atomic<bool>* cancel = nullptr);

// Milliseconds left until `deadline`, 0 once it has passed (for the blocking helpers).
std::uint32_t milliseconds_until(std::chrono::steady_clock::time_point deadline);

}  // namespace proxy
