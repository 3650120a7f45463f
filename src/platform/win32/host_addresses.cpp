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
        append_unique_host_address(a->ai_addr, a->ai_addrlen, out);
    }
    ::FreeAddrInfoW(results);
    return 0;
}

}  // namespace platform
