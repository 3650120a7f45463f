#pragma once
// Host name lookup through the system resolver (getaddrinfo; GetAddrInfoW on Windows, which
// needs the socket library started, see socket_runtime.h). Blocking; any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/inet_types.h"

namespace platform {

struct host_address {
    bool is_v6 = false;
    std::uint8_t bytes[16] = {};  // the first 4 for IPv4, network order
};

// Every IPv4 and IPv6 address the resolver returns for `host` (UTF-8) and the TCP `port`,
// in the resolver's order, each once. 0 on success (`out` may still be empty), else the
// resolver's error as a Winsock number (e.g. 11001 host not found); `out` is then empty.
std::uint32_t lookup_host_addresses(const std::string& host, std::uint16_t port, std::vector<host_address>& out);

// Appends the IPv4 or IPv6 address of a resolver result unless `out` holds it already;
// other families and short lengths are skipped. Shared by both backends.
void append_unique_host_address(const sockaddr* address, std::size_t length, std::vector<host_address>& out);

}  // namespace platform
