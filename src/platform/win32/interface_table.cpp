// IP Helper backend of platform/interface_table.h.
#include "platform/interface_table.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_INCLUDE_GATEWAYS |
// GAA_FLAG_INCLUDE_ALL_INTERFACES
constexpr ULONG adapter_flags = 0x186;
// The list can grow between the size query and the read; a list that keeps growing is a
// failure, not a reason to loop forever.
constexpr int size_attempts = 8;

template <typename Chain>
void copy_chain(const Chain* first, std::vector<sockaddr_storage>& out)
{
    for (const Chain* a = first; a; a = a->Next)
        out.push_back(to_socket_address_storage(a->Address.lpSockaddr,
                                                a->Address.iSockaddrLength > 0
                                                    ? static_cast<std::size_t>(a->Address.iSockaddrLength)
                                                    : 0));
}

}  // namespace

std::uint32_t read_interface_table(std::vector<interface_row>& rows)
{
    rows.clear();
    MIB_IF_TABLE2* table = nullptr;
    const DWORD result = GetIfTable2(&table);
    if (result != NO_ERROR)
        return result;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IF_ROW2& r = table->Table[i];
        interface_row row;
        row.luid = r.InterfaceLuid.Value;
        row.guid.data1 = r.InterfaceGuid.Data1;
        row.guid.data2 = r.InterfaceGuid.Data2;
        row.guid.data3 = r.InterfaceGuid.Data3;
        std::memcpy(row.guid.data4, r.InterfaceGuid.Data4, sizeof row.guid.data4);
        row.media_type = static_cast<std::uint32_t>(r.MediaType);
        row.physical_medium_type = static_cast<std::uint32_t>(r.PhysicalMediumType);
        row.media_connect_state = static_cast<std::uint32_t>(r.MediaConnectState);
        row.physical_address_length =
            r.PhysicalAddressLength < sizeof row.physical_address ? r.PhysicalAddressLength
                                                                  : sizeof row.physical_address;
        std::memcpy(row.physical_address, r.PhysicalAddress, row.physical_address_length);
        row.hardware_interface = r.InterfaceAndOperStatusFlags.HardwareInterface != 0;
        rows.push_back(row);
    }
    FreeMibTable(table);
    return error_success;
}

std::uint32_t read_adapter_addresses(std::vector<adapter_entry>& adapters)
{
    adapters.clear();
    ULONG size = 0;
    ULONG result = GetAdaptersAddresses(AF_UNSPEC, adapter_flags, nullptr, nullptr, &size);
    if (result != ERROR_BUFFER_OVERFLOW)
        return result == NO_ERROR ? error_success : result;
    IP_ADAPTER_ADDRESSES* list = nullptr;
    for (int attempt = 0;; ++attempt) {
        if (attempt == size_attempts)
            return error_buffer_overflow;
        list = static_cast<IP_ADAPTER_ADDRESSES*>(std::calloc(1, size));
        if (!list)
            return error_not_enough_memory;
        result = GetAdaptersAddresses(AF_UNSPEC, adapter_flags, nullptr, list, &size);
        if (result == NO_ERROR)
            break;
        std::free(list);
        list = nullptr;
        if (result != ERROR_BUFFER_OVERFLOW)
            return result;
    }

    for (const IP_ADAPTER_ADDRESSES* a = list; a; a = a->Next) {
        adapter_entry entry;
        entry.if_index = a->IfIndex;
        entry.ipv6_if_index = a->Ipv6IfIndex;
        entry.adapter_name = a->AdapterName ? a->AdapterName : "";
        entry.description = a->Description ? a->Description : L"";
        entry.friendly_name = a->FriendlyName ? a->FriendlyName : L"";
        copy_chain(a->FirstUnicastAddress, entry.unicast_addresses);
        copy_chain(a->FirstDnsServerAddress, entry.dns_server_addresses);
        copy_chain(a->FirstGatewayAddress, entry.gateway_addresses);
        entry.physical_address_length =
            a->PhysicalAddressLength < sizeof entry.physical_address ? a->PhysicalAddressLength
                                                                     : sizeof entry.physical_address;
        std::memcpy(entry.physical_address, a->PhysicalAddress, entry.physical_address_length);
        entry.mtu = a->Mtu;
        entry.if_type = a->IfType;
        entry.oper_status = static_cast<std::uint32_t>(a->OperStatus);
        entry.transmit_link_speed = a->TransmitLinkSpeed;
        entry.receive_link_speed = a->ReceiveLinkSpeed;
        entry.luid = a->Luid.Value;
        adapters.push_back(std::move(entry));
    }
    std::free(list);
    return error_success;
}

namespace {

// Wine exports ResolveIpNetEntry2 as a stub that raises an exception when called; there the
// neighbour table is read instead (GetIpNetTable2: nothing is sent). Wine is recognised by
// the version export of its ntdll.
bool running_under_wine()
{
    static const bool wine = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

bool same_neighbour(const MIB_IPNET_ROW2& a, const MIB_IPNET_ROW2& b)
{
    if (a.InterfaceLuid.Value != b.InterfaceLuid.Value || a.Address.si_family != b.Address.si_family)
        return false;
    if (a.Address.si_family == AF_INET)
        return std::memcmp(&a.Address.Ipv4.sin_addr, &b.Address.Ipv4.sin_addr, 4) == 0;
    return std::memcmp(&a.Address.Ipv6.sin6_addr, &b.Address.Ipv6.sin6_addr, 16) == 0;
}

DWORD look_up_neighbour(MIB_IPNET_ROW2& wanted)
{
    MIB_IPNET_TABLE2* table = nullptr;
    const DWORD result = GetIpNetTable2(wanted.Address.si_family, &table);
    if (result != NO_ERROR)
        return result;
    DWORD found = ERROR_BAD_NET_NAME;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPNET_ROW2& row = table->Table[i];
        if (same_neighbour(row, wanted) && row.State >= NlnsProbe && row.PhysicalAddressLength >= 6) {
            std::memcpy(wanted.PhysicalAddress, row.PhysicalAddress, 6);
            found = NO_ERROR;
            break;
        }
    }
    FreeMibTable(table);
    return found;
}

}  // namespace

std::uint32_t resolve_neighbour(const sockaddr_storage& address, std::uint64_t luid,
                                std::uint8_t (&mac)[6])
{
    std::memset(mac, 0, sizeof mac);
    MIB_IPNET_ROW2 row;
    std::memset(&row, 0, sizeof row);
    if (address.ss_family == AF_INET)
        std::memcpy(&row.Address.Ipv4, &address, sizeof row.Address.Ipv4);
    else if (address.ss_family == AF_INET6)
        std::memcpy(&row.Address.Ipv6, &address, sizeof row.Address.Ipv6);
    else
        return error_invalid_parameter;
    row.InterfaceLuid.Value = luid;
    const DWORD result = running_under_wine() ? look_up_neighbour(row) : ResolveIpNetEntry2(&row, nullptr);
    if (result != NO_ERROR)
        return result;
    std::memcpy(mac, row.PhysicalAddress, 6);
    return error_success;
}

std::uint32_t best_interface(const sockaddr_storage& destination, std::uint32_t& if_index)
{
    DWORD index = 0;
    sockaddr_storage copy = destination;
    const DWORD result = GetBestInterfaceEx(reinterpret_cast<sockaddr*>(&copy), &index);
    if_index = result == NO_ERROR ? index : 0;
    return result;
}

}  // namespace platform
