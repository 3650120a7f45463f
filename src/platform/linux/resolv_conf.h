#pragma once
// Reading resolv.conf, apart from the file access so that tests can feed it text.

#include <string_view>

#include "platform/host_dns_servers.h"

namespace platform::linux_backend {

// The `nameserver` lines of a resolv.conf text, in order. Comments (# or ;), other keywords
// and addresses that do not parse are skipped; an IPv6 zone ("%eth0") is ignored, as the
// servers are reached through the routing table, not a chosen link.
host_dns_servers parse_resolv_conf(std::string_view text);

}  // namespace platform::linux_backend
