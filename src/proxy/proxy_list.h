#pragma once
// The upstream proxies of one discovery, and the text forms they are read from.
//
// Pure functions apart from the host name lookup in resolve_endpoint, which blocks in the
// system resolver (on Windows the socket library must be started). Any thread.

#include <cstdint>
#include <string_view>
#include <vector>

#include "net/ip_address.h"

namespace proxy {

enum class proxy_kind : std::uint32_t { http = 0, https = 1, ftp = 2, socks = 3 };

// One upstream proxy: what it speaks, every address its host resolved to, its port.
struct proxy_list_entry {
    proxy_kind kind = proxy_kind::http;
    std::vector<net::ip_address_any> addresses;  // never empty in a list built here
    std::uint16_t port = 0;                      // host order

    friend bool operator==(const proxy_list_entry&, const proxy_list_entry&) = default;
};

// In the system's order of preference; two lists are equal when all entries are, in order.
using proxy_list = std::vector<proxy_list_entry>;

// The addresses of a proxy given as "host:port". The host is the text before the first ':'
// (or, for an IPv6 literal, inside "[...]" followed by ':'); the port is the run of decimal
// digits right after that ':', which must be non-empty and at most 65535; anything after the
// digits is ignored ("10.0.0.5:8080;https=..." is 10.0.0.5 port 8080). No ':' or a bad port
// gives no addresses. See the host+port form for how the host is read.
std::vector<net::ip_address_any> resolve_endpoint(std::string_view host_and_port);

// The addresses of `host` (UTF-8): an IPv4 literal (strict dotted quad), else an IPv6
// literal, else every IPv4 and IPv6 address the system resolver returns, in its order. Text
// that can only be meant as a literal (digits and dots; anything with a ':') is never handed
// to the resolver, which would read "010.0.0.1" as octal or send the text to DNS. An empty host, a name under the
// reserved .invalid domain (answered without a lookup) and a name that does not resolve
// give no addresses. `port` only completes the lookup.
std::vector<net::ip_address_any> resolve_endpoint(std::string_view host, std::uint16_t port);

// The list a manual proxy setting names. Tokens are separated by white space; in each, the
// first of "http=", "https=", "ftp=", "socks=", "http://", "https://" that occurs in it sets
// the kind and the address part starts right after it; a token with none of them is an http
// proxy given whole. Tokens whose address part gives no addresses are left out.
proxy_list parse_proxy_text(std::string_view text);

}  // namespace proxy
