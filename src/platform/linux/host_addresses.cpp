#include "platform/host_addresses.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/win32_errors.h"

namespace platform {

namespace {

// getaddrinfo's EAI_* codes as the Winsock numbers Windows reports for the same outcome.
std::uint32_t to_winsock_error(int eai)
{
    switch (eai) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
        return error_host_not_found;
    case EAI_AGAIN: return error_try_again;
    case EAI_MEMORY: return error_not_enough_memory;
    default: return error_no_recovery;
    }
}

}  // namespace

std::uint32_t lookup_host_addresses(const std::string& host, std::uint16_t port, std::vector<host_address>& out)
{
    out.clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one result per address, not one per socket type
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* results = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &results); rc != 0)
        return to_winsock_error(rc);
    for (const addrinfo* a = results; a; a = a->ai_next) {
        append_unique_host_address(a->ai_addr, a->ai_addrlen, out);
    }
    ::freeaddrinfo(results);
    return 0;
}

}  // namespace platform
