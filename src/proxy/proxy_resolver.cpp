#include "proxy/proxy_resolver.h"

#include <iterator>

namespace proxy {

namespace {

// Automatic answers name the scheme the system reported; schemes we cannot speak are skipped.
bool kind_of(platform::proxy_scheme scheme, proxy_kind& kind)
{
    switch (scheme) {
    case platform::proxy_scheme::http: kind = proxy_kind::http; return true;
    case platform::proxy_scheme::https: kind = proxy_kind::https; return true;
    case platform::proxy_scheme::ftp: kind = proxy_kind::ftp; return true;
    case platform::proxy_scheme::socks: kind = proxy_kind::socks; return true;
    }
    return false;
}

}  // namespace

std::uint32_t proxy_resolver::resolve_proxy()
{
    const std::uint32_t result = system_.resolve(proxy_probe_url);
    if (result == 0)
        succeeded_ = true;
    return result;
}

proxy_list proxy_resolver::parse_proxy_list() const
{
    proxy_list list;
    if (!succeeded_)
        return list;
    for (const platform::discovered_proxy& found : system_.discovered()) {
        proxy_list_entry entry;
        if (!kind_of(found.scheme, entry.kind))
            continue;
        entry.port = found.port;
        entry.addresses = resolve_endpoint(found.host, found.port);
        if (!entry.addresses.empty())
            list.push_back(std::move(entry));
    }
    if (system_.access_type() != platform::proxy_access_no_proxy) {
        proxy_list manual = parse_proxy_text(system_.proxy_text());
        list.insert(list.end(), std::make_move_iterator(manual.begin()), std::make_move_iterator(manual.end()));
    }
    return list;
}

}  // namespace proxy
