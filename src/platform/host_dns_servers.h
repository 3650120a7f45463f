#pragma once
// The host's DNS servers as the operating system is configured to use them: Windows asks the
// DNS client (DnsQueryConfig, DnsConfigDnsServerList: IPv4 only); Linux reads the
// `nameserver` lines of resolv.conf (IPv4 and IPv6), /etc/resolv.conf unless
// CORVANE_RESOLV_CONF names another file. Under `ip netns exec` /etc/resolv.conf is the
// namespace's own file, which the lab relies on.

#include <array>
#include <cstdint>
#include <vector>

#include "platform/inet_types.h"

namespace platform {

struct host_dns_servers {
    std::vector<in_addr> ipv4;  // in the order the system lists them
    std::vector<std::array<std::uint8_t, 16>> ipv6;
};

// False when the configuration could not be read; `out` is then empty.
bool query_host_dns_servers(host_dns_servers& out);

}  // namespace platform
