#include "platform/host_addresses.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/win32/utf16_text.h"
#include "platform/win32_errors.h"

namespace platform {

static_assert(error_host_not_found == WSAHOST_NOT_FOUND);
static_assert(error_try_again == WSATRY_AGAIN);
static_assert(error_no_recovery == WSANO_RECOVERY);

std::uint32_t lookup_host_addresses(const std::string& host, std::uint16_t port, std::vector<host_address>& out)
{
    out.clear();
    const std::wstring name = win32::to_utf16(host);
    if (name.empty())
        return error_host_not_found;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one result per address, not one per socket type
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* results = nullptr;
    const std::wstring service = std::to_wstring(port);
    if (const INT rc = ::GetAddrInfoW(name.c_str(), service.c_str(), &hints, &results); rc != 0)
        return static_cast<std::uint32_t>(rc);
    for (const ADDRINFOW* a = results; a; a = a->ai_next) {
        host_address address;
        if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
            std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, 4);
        } else if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(sockaddr_in6)) {
            address.is_v6 = true;
            std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr, 16);
        } else {
            continue;
        }
        const bool seen = std::any_of(out.begin(), out.end(), [&](const host_address& other) {
            return other.is_v6 == address.is_v6 && std::memcmp(other.bytes, address.bytes, 16) == 0;
        });
        if (!seen)
            out.push_back(address);
    }
    ::FreeAddrInfoW(results);
    return 0;
}

}  // namespace platform
