#pragma once
// What a proxied connection must ask its upstream proxy for: the real destination, and for
// SOCKS5 optional credentials. A direct connection carries none (null).

#include <cstdint>
#include <optional>
#include <string>

#include "net/ip_address.h"

namespace proxy {

class negotiate_context {
public:
    negotiate_context(net::ip_address_v4 address, std::uint16_t port)
        : remote_address(address), remote_port(port)
    {
    }
    virtual ~negotiate_context() = default;

    net::ip_address_v4 remote_address;
    std::uint16_t remote_port;  // host order
};

class socks5_negotiate_context : public negotiate_context {
public:
    socks5_negotiate_context(net::ip_address_v4 address, std::uint16_t port,
                             std::optional<std::string> user = std::nullopt,
                             std::optional<std::string> pass = std::nullopt)
        : negotiate_context(address, port), user_name(std::move(user)), password(std::move(pass))
    {
    }

    std::optional<std::string> user_name;
    std::optional<std::string> password;
};

}  // namespace proxy
