#pragma once
// Key of the port table's index of the client's packets: the whole four-tuple, so that a client
// endpoint talking to 100,000 destinations is still one hash lookup per packet.

#include <cstddef>
#include <cstdint>

#include "net/fnv1a.h"
#include "net/ip_address.h"

namespace nat {

struct flow_key {
    net::ip_address_v4 client_address;
    net::ip_address_v4 remote_address;
    std::uint16_t client_port = 0;  // host byte order
    std::uint16_t remote_port = 0;

    friend bool operator==(const flow_key& a, const flow_key& b) noexcept
    {
        return a.client_address == b.client_address && a.remote_address == b.remote_address &&
               a.client_port == b.client_port && a.remote_port == b.remote_port;
    }
};

// FNV-1a over the client address, the remote address (network order), then the client port
// and the remote port (low byte first).
struct flow_key_hash {
    std::size_t operator()(const flow_key& key) const noexcept
    {
        const std::uint8_t ports[4] = {static_cast<std::uint8_t>(key.client_port),
                                       static_cast<std::uint8_t>(key.client_port >> 8),
                                       static_cast<std::uint8_t>(key.remote_port),
                                       static_cast<std::uint8_t>(key.remote_port >> 8)};
        std::uint64_t hash = net::fnv1a(key.client_address.octets, 4);
        hash = net::fnv1a(key.remote_address.octets, 4, hash);
        return static_cast<std::size_t>(net::fnv1a(ports, 4, hash));
    }
};

}  // namespace nat
