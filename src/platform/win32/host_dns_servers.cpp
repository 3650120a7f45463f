#include "platform/host_dns_servers.h"

#include <winsock2.h>
#include <windows.h>
#include <windns.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace platform {

namespace {

void append_ipv4(const IP4_ARRAY& list, DWORD length, host_dns_servers& out)
{
    // Never trust the count beyond the bytes the system said it returned.
    const DWORD header = offsetof(IP4_ARRAY, AddrArray);
    const DWORD capacity = length >= header ? static_cast<DWORD>((length - header) / sizeof(IP4_ADDRESS)) : 0;
    const DWORD count = list.AddrCount < capacity ? list.AddrCount : capacity;
    for (DWORD i = 0; i < count; ++i) {
        in_addr address{};
        std::memcpy(&address, &list.AddrArray[i], 4);
        out.ipv4.push_back(address);
    }
}

}  // namespace

bool query_host_dns_servers(host_dns_servers& out)
{
    out = {};
    // With DNS_CONFIG_FLAG_ALLOC the system allocates the array and hands back its address
    // through the buffer argument; it is freed with LocalFree.
    PIP4_ARRAY list = nullptr;
    DWORD length = 0;
    if (::DnsQueryConfig(DnsConfigDnsServerList, DNS_CONFIG_FLAG_ALLOC, nullptr, nullptr, &list, &length) ==
            ERROR_SUCCESS &&
        list) {
        append_ipv4(*list, length, out);
        ::LocalFree(list);
        return true;
    }
    // Systems that do not allocate for the caller (Wine among them) answer the sizing form:
    // ask for the length, then fill a buffer of our own.
    length = 0;
    const DNS_STATUS sized = ::DnsQueryConfig(DnsConfigDnsServerList, 0, nullptr, nullptr, nullptr, &length);
    if ((sized != ERROR_SUCCESS && sized != ERROR_MORE_DATA) || length < sizeof(IP4_ARRAY) - sizeof(IP4_ADDRESS))
        return false;
    std::vector<unsigned char> buffer(length + sizeof(IP4_ADDRESS));
    DWORD filled = static_cast<DWORD>(buffer.size());
    if (::DnsQueryConfig(DnsConfigDnsServerList, 0, nullptr, nullptr, buffer.data(), &filled) != ERROR_SUCCESS)
        return false;
    const DWORD usable = filled < buffer.size() ? filled : static_cast<DWORD>(buffer.size());
    append_ipv4(*reinterpret_cast<const IP4_ARRAY*>(buffer.data()), usable, out);
    return true;
}

}  // namespace platform
