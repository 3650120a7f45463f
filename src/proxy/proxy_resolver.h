#pragma once
// System proxy discovery for the proxy gateway: which upstream proxy, if any, the system
// would have a browser use for `proxy_probe_url`, as a proxy_list.
//
// One object per update run of the gateway's proxy watch (any one thread): construct,
// resolve_proxy(), parse_proxy_list(), destroy. The operating system's part (WinHTTP on
// Windows, the proxy environment file on Linux) lives in platform/system_proxy.h.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/system_proxy.h"
#include "proxy/proxy_list.h"

namespace proxy {

// The URL discovery asks about. Only its proxy is looked up (by a PAC script or the manual
// setting); nothing is fetched from it.
inline constexpr char proxy_probe_url[] = "http://www.msftconnecttest.com/connecttest.txt";

class proxy_resolver {
public:
    // Throws std::runtime_error("WinHttpOpen has failed!") when the system's proxy service
    // cannot be opened at all.
    proxy_resolver() = default;

    // 0, or the Win32 error that made discovery fail (the caller then uses no upstream
    // proxy). A second call on the same object fails with error_invalid_operation.
    std::uint32_t resolve_proxy();

    // The proxies of a successful resolve_proxy(): first the entries of an automatic answer,
    // then those of the manual text (unless the answer says no proxy). Resolves host names;
    // entries without any address are left out. Empty before resolve_proxy or after it failed.
    proxy_list parse_proxy_list() const;

    // Configuration problems worth logging (credentials that were dropped, schemes that are
    // not supported); empty on Windows.
    const std::vector<std::string>& warnings() const { return system_.warnings(); }

private:
    platform::system_proxy_resolver system_;
    bool succeeded_ = false;
};

}  // namespace proxy
