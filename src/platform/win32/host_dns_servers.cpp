#include "platform/host_dns_servers.h"

#include <winsock2.h>
#include <windows.h>
#include <windns.h>

#include <cstring>

namespace platform {

bool query_host_dns_servers(host_dns_servers& out)
{
    out = {};
    // With DNS_CONFIG_FLAG_ALLOC the system allocates the array and hands back its address
    // through the buffer argument; it is freed with LocalFree.
    PIP4_ARRAY list = nullptr;
    DWORD length = 0;
    const DNS_STATUS status =
        ::DnsQueryConfig(DnsConfigDnsServerList, DNS_CONFIG_FLAG_ALLOC, nullptr, nullptr, &list, &length);
    if (status != ERROR_SUCCESS || !list)
        return false;
    // Never trust the count beyond what the system said it returned.
    const DWORD capacity = length >= sizeof(DWORD)
                               ? static_cast<DWORD>((length - sizeof(DWORD)) / sizeof(IP4_ADDRESS))
                               : 0;
    const DWORD count = list->AddrCount < capacity ? list->AddrCount : capacity;
    for (DWORD i = 0; i < count; ++i) {
        in_addr address{};
        std::memcpy(&address, &list->AddrArray[i], 4);
        out.ipv4.push_back(address);
    }
    ::LocalFree(list);
    return true;
}

}  // namespace platform
