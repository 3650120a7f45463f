#pragma once
// The proxy the system would have a browser use, asked once per discovery run.
//
// Windows: WinHTTP on behalf of the user the service runs as, in the usual precedence of the
// user's settings: automatic detection (WPAD), then the configured script (PAC), then the
// manually entered proxy. Automatic results arrive as separate entries (scheme, host, port);
// the manual setting arrives as text ("host:port", "socks=host:port", "http=...;https=...").
//
// Linux: the usual proxy environment (all_proxy, https_proxy, http_proxy and their upper-case
// forms) read from a file, so that an administrator can change it while the service runs:
// the file named by CORVANE_PROXY_ENV, else /etc/corvane/proxy.env. A missing file means no
// proxy. Lines are `NAME=value`, optionally prefixed by `export `, values optionally quoted,
// `#` starts a comment. Each variable that is set gives one token of the manual text, in
// the order all_proxy, https_proxy, http_proxy (the gateway relays every protocol, so the
// variable meant for all of them comes first): socks5://, socks5h:// and socks:// URLs become
// "socks=host:port", http:// URLs (and bare host:port) "host:port", https:// URLs
// "https://host:port". A lower-case variable wins over its upper-case form. A URL without a
// port gets its scheme's usual one (socks 1080, http 80, https 443). User names and
// passwords in a URL are dropped and reported through warnings(); other schemes are skipped
// with a warning. The file is read afresh on each resolve(), which is cheap enough to do
// every second. Results are never automatic (from_auto() is false).
//
// One object per discovery: construct, resolve(), read the answer, destroy. Not
// thread-safe; the object may be created on any thread. Host names are not resolved here.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Values of WinHTTP's access type, which the answer reports on both backends.
inline constexpr std::uint32_t proxy_access_no_proxy = 1;
inline constexpr std::uint32_t proxy_access_named_proxy = 3;

// The scheme of an automatically found proxy (the values of WinHTTP's INTERNET_SCHEME).
enum class proxy_scheme : std::uint32_t { http = 1, https = 2, ftp = 3, socks = 4 };

// One entry of an automatic result that names a proxy (not a "DIRECT" one). `scheme` may
// hold a value outside the enumerators when the system reports a scheme we do not know.
struct discovered_proxy {
    proxy_scheme scheme = proxy_scheme::http;
    std::string host;  // UTF-8
    std::uint16_t port = 0;
};

class system_proxy_resolver {
public:
    // Throws std::runtime_error("WinHttpOpen has failed!") when no WinHTTP session can be
    // opened (Windows); never throws on Linux.
    system_proxy_resolver();
    ~system_proxy_resolver();
    system_proxy_resolver(const system_proxy_resolver&) = delete;
    system_proxy_resolver& operator=(const system_proxy_resolver&) = delete;

    // Runs the discovery for `probe_url` (an absolute http URL). Returns 0 or a Win32 error
    // number (WinHTTP's 12xxx codes included); a second call on the same object fails with
    // error_invalid_operation.
    std::uint32_t resolve(const std::string& probe_url);

    // The answer of a successful resolve(); before it (or after a failure): no proxy.
    std::uint32_t access_type() const;  // proxy_access_no_proxy or proxy_access_named_proxy
    std::string proxy_text() const;     // the manual form, UTF-8; empty when none
    std::string bypass_text() const;    // reported for logs only, never applied
    bool from_auto() const;             // true when detection or a script produced the answer
    std::vector<discovered_proxy> discovered() const;
    // Problems in the configuration worth one log line each (never secrets).
    const std::vector<std::string>& warnings() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace platform
