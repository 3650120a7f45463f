#pragma once
// The bound on a redirect table that the clients' packets fill: entries per client address
// and entries in all. A client sending SYNs or datagrams from ever new source ports (or, with
// a subnet behind it, from ever new addresses) would otherwise grow the table for as long
// as the idle limit keeps the entries, without limit. A packet that would need an entry
// beyond the bound is refused and dropped by the gateway; passing it unchanged would send it
// to its destination past the proxy.
//
// Not thread-safe: the owning table calls it under its own mutex.

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "net/ip_address.h"

namespace proxy {

struct redirect_limits {
    std::size_t per_client_address;
    std::size_t total;
};

class redirect_admission {
public:
    explicit redirect_admission(redirect_limits limits) : limits_(limits) {}

    // Whether one more entry of `client` fits.
    bool has_room(net::ip_address_v4 client) const
    {
        if (total_ >= limits_.total)
            return false;
        const auto it = per_address_.find(client.raw());
        return it == per_address_.end() || it->second < limits_.per_client_address;
    }
    void added(net::ip_address_v4 client)
    {
        ++per_address_[client.raw()];
        ++total_;
    }
    void removed(net::ip_address_v4 client)
    {
        const auto it = per_address_.find(client.raw());
        if (it == per_address_.end())
            return;
        if (--it->second == 0)
            per_address_.erase(it);
        --total_;
    }
    const redirect_limits& limits() const { return limits_; }

private:
    redirect_limits limits_;
    std::unordered_map<std::uint32_t, std::size_t> per_address_;
    std::size_t total_ = 0;
};

}  // namespace proxy
