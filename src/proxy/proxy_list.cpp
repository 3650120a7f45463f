#include "proxy/proxy_list.h"

#include <array>
#include <cstring>
#include <string>

#include "platform/host_addresses.h"

namespace proxy {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// RFC 6761 reserves .invalid: resolvers are to answer "no such name" without asking anyone,
// so such a host never costs a query to the network.
bool is_reserved_invalid_name(std::string_view host)
{
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    constexpr std::string_view suffix = "invalid";
    if (host.size() < suffix.size())
        return false;
    const std::string_view tail = host.substr(host.size() - suffix.size());
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (lower(tail[i]) != suffix[i])
            return false;
    }
    return host.size() == suffix.size() || host[host.size() - suffix.size() - 1] == '.';
}

// "host:port" or "[v6]:port" -> host and port; false when there is no ':' after the host
// or no valid port right after it.
bool split_endpoint(std::string_view text, std::string_view& host, std::uint16_t& port)
{
    std::size_t colon;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.find(':');
        if (colon == std::string_view::npos)
            return false;
        host = text.substr(0, colon);
    }

    std::uint32_t value = 0;
    std::size_t i = colon + 1;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
        if (value > 65535)
            return false;
    }
    if (i == colon + 1)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

std::vector<net::ip_address_any> resolve_endpoint(std::string_view host, std::uint16_t port)
{
    std::vector<net::ip_address_any> out;
    if (host.empty())  // a lookup of "" answers with the local host's own addresses
        return out;

    // Digits and dots only: an IPv4 literal or nothing. Handing such text to the resolver
    // would let it read "010.0.0.1" as octal or "10.1" as 10.0.0.1.
    if (host.find_first_not_of("0123456789.") == std::string_view::npos) {
        net::ip_address_v4 v4;
        // parse_ipv4 stops early and refuses leading zeros, so the whole host was read
        // exactly when the canonical text is as long as it.
        if (net::parse_ipv4(host.data(), host.size(), v4) && net::to_string(v4).size() == host.size())
            out.emplace_back(v4);
        return out;
    }
    // No host name holds a ':': an IPv6 literal or nothing. Only a literal with a scope
    // ("fe80::1%eth0") is left to the resolver, which reads it without a query.
    if (host.find(':') != std::string_view::npos && host.find('%') == std::string_view::npos) {
        in6_addr v6{};
        // parse_ipv6 stops at the first character that cannot continue; none may be left.
        if (host.find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos &&
            net::parse_ipv6(host.data(), host.size(), v6))
            out.emplace_back(v6);
        return out;
    }
    if (is_reserved_invalid_name(host))
        return out;

    std::vector<platform::host_address> found;
    if (platform::lookup_host_addresses(std::string(host), port, found) != 0)
        return out;
    for (const platform::host_address& a : found) {
        if (a.is_v6) {
            in6_addr v6;
            std::memcpy(&v6, a.bytes, 16);
            out.emplace_back(v6);
        } else {
            out.emplace_back(net::ip_address_v4::from_bytes(a.bytes));
        }
    }
    return out;
}

std::vector<net::ip_address_any> resolve_endpoint(std::string_view host_and_port)
{
    std::string_view host;
    std::uint16_t port = 0;
    if (!split_endpoint(host_and_port, host, port))
        return {};
    return resolve_endpoint(host, port);
}

proxy_list parse_proxy_text(std::string_view text)
{
    struct marker {
        std::string_view text;
        proxy_kind kind;
    };
    // Checked in this order; the first that occurs anywhere in a token wins.
    static constexpr std::array<marker, 6> markers{{
        {"http=", proxy_kind::http},
        {"https=", proxy_kind::https},
        {"ftp=", proxy_kind::ftp},
        {"socks=", proxy_kind::socks},
        {"http://", proxy_kind::http},
        {"https://", proxy_kind::https},
    }};
    constexpr std::string_view blanks = " \t\r\n\f\v";

    proxy_list list;
    std::size_t pos = 0;
    while ((pos = text.find_first_not_of(blanks, pos)) != std::string_view::npos) {
        std::size_t end = text.find_first_of(blanks, pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view token = text.substr(pos, end - pos);
        pos = end;

        proxy_list_entry entry;
        std::string_view address = token;
        for (const marker& m : markers) {
            if (const std::size_t at = token.find(m.text); at != std::string_view::npos) {
                entry.kind = m.kind;
                address = token.substr(at + m.text.size());
                break;
            }
        }
        std::string_view host;
        if (!split_endpoint(address, host, entry.port))
            continue;
        entry.addresses = resolve_endpoint(host, entry.port);
        if (!entry.addresses.empty())
            list.push_back(std::move(entry));
    }
    return list;
}

}  // namespace proxy
