#include "net/network_interfaces.h"

#include <algorithm>
#include <cstring>

#include "platform/thread_error.h"

namespace net {

gateway_entry::gateway_entry() noexcept : mac{}
{
    std::memset(&address, 0, sizeof address);
}

gateway_entry::gateway_entry(const sockaddr_storage& gateway) noexcept : address(gateway), mac{}
{
}

namespace {

class system_source final : public interface_source {
public:
    std::uint32_t read_interface_table(std::vector<platform::interface_row>& rows) override
    {
        return platform::read_interface_table(rows);
    }
    std::uint32_t read_adapter_addresses(std::vector<platform::adapter_entry>& adapters) override
    {
        return platform::read_adapter_addresses(adapters);
    }
    std::uint32_t resolve_neighbour(const sockaddr_storage& address, std::uint64_t luid,
                                    std::uint8_t (&mac)[6]) override
    {
        return platform::resolve_neighbour(address, luid, mac);
    }
    std::uint32_t best_interface(const sockaddr_storage& destination,
                                 std::uint32_t& if_index) override
    {
        return platform::best_interface(destination, if_index);
    }
};

bool listed(const platform::adapter_entry& adapter)
{
    return !adapter.unicast_addresses.empty() && adapter.oper_status == platform::oper_status_up &&
           adapter.if_type != platform::if_type_software_loopback;
}

// The connected hardware interface that shares `record`'s MAC address: the physical NIC
// under an adapter of unspecified medium (a virtual switch port, a team).
const platform::interface_row* hardware_twin(const interface_info& record,
                                             const std::vector<platform::interface_row>& rows)
{
    for (const platform::interface_row& row : rows) {
        if (row.luid != record.luid &&
            row.media_connect_state == platform::media_connect_connected &&
            row.physical_address_length == 6 && row.physical_medium_type != 0 &&
            std::memcmp(row.physical_address, record.mac_address, 6) == 0 &&
            row.hardware_interface)
            return &row;
    }
    return nullptr;
}

interface_info build_record(const platform::adapter_entry& adapter,
                            const platform::interface_row& row,
                            const std::vector<platform::interface_row>& rows,
                            interface_source& source, std::uint32_t& last_error)
{
    interface_info record;
    record.if_index = adapter.if_index;
    record.ipv6_if_index = adapter.ipv6_if_index;
    record.adapter_name = adapter.adapter_name;
    record.description = adapter.description;
    record.friendly_name = adapter.friendly_name;
    record.unicast_addresses = adapter.unicast_addresses;
    record.dns_server_addresses = adapter.dns_server_addresses;
    for (const sockaddr_storage& gateway : adapter.gateway_addresses)
        record.gateways.emplace_back(gateway);
    std::memcpy(record.mac_address, adapter.physical_address, 6);
    record.mtu = static_cast<std::uint16_t>(std::min<std::uint32_t>(adapter.mtu, 0xFFFF));
    record.if_type = adapter.if_type;
    record.transmit_link_speed = adapter.transmit_link_speed;
    record.receive_link_speed = adapter.receive_link_speed;
    record.luid = adapter.luid;
    record.media_type = row.media_type;
    record.physical_medium_type = row.physical_medium_type;

    // Only media with a link-layer neighbour protocol have gateway MACs.
    if (record.if_type == platform::if_type_ethernet ||
        record.if_type == platform::if_type_ieee80211) {
        for (gateway_entry& gateway : record.gateways) {
            std::uint8_t mac[6] = {};
            const std::uint32_t result = source.resolve_neighbour(gateway.address, record.luid, mac);
            if (result == platform::error_success)
                std::memcpy(gateway.mac, mac, 6);
            else
                last_error = result;
        }
    }

    if (record.physical_medium_type == platform::ndis_physical_medium_unspecified) {
        if (const platform::interface_row* twin = hardware_twin(record, rows)) {
            record.hardware_physical_medium_type = twin->physical_medium_type;
            record.hardware_interface_guid = twin->guid;
        }
    }
    return record;
}

}  // namespace

interface_source& system_interface_source()
{
    static system_source source;
    return source;
}

std::vector<interface_info> get_network_interfaces() { return get_network_interfaces(system_interface_source()); }

std::vector<interface_info> get_network_interfaces(interface_source& source)
{
    // The error is kept here and stored last: on Windows any system call in between may
    // overwrite the thread's value.
    std::uint32_t last_error = platform::error_success;
    std::vector<interface_info> records;
    std::vector<platform::interface_row> rows;
    std::vector<platform::adapter_entry> adapters;
    last_error = source.read_interface_table(rows);
    if (last_error == platform::error_success) {
        last_error = source.read_adapter_addresses(adapters);
        for (const platform::adapter_entry& adapter : adapters) {
            if (!listed(adapter))
                continue;
            const auto row = std::find_if(rows.begin(), rows.end(), [&](const platform::interface_row& r) {
                return r.luid == adapter.luid;
            });
            if (row == rows.end())
                continue;
            records.push_back(build_record(adapter, *row, rows, source, last_error));
        }
    }
    platform::set_thread_error(last_error);
    return records;
}

std::optional<interface_info> get_best_interface(const ip_address_v4& destination)
{
    return get_best_interface(destination, system_interface_source());
}

std::optional<interface_info> get_best_interface(const ip_address_v4& destination,
                                                 interface_source& source)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    std::memcpy(&address.sin_addr, destination.octets, 4);
    const sockaddr_storage storage = platform::to_socket_address_storage(&address, sizeof address);

    std::vector<interface_info> records = get_network_interfaces(source);
    const std::uint32_t listing_error = platform::get_thread_error();
    std::uint32_t index = 0;
    const std::uint32_t result = source.best_interface(storage, index);
    if (result != platform::error_success) {
        platform::set_thread_error(result);
        return std::nullopt;
    }
    for (interface_info& record : records) {
        if (record.if_index == index) {
            platform::set_thread_error(listing_error);
            return std::move(record);
        }
    }
    platform::set_thread_error(listing_error);
    return std::nullopt;
}

std::vector<ip_address_v4> ipv4_unicast_addresses(const interface_info& info)
{
    std::vector<ip_address_v4> addresses;
    for (const sockaddr_storage& storage : info.unicast_addresses) {
        std::uint8_t bytes[8];
        std::memcpy(bytes, &storage, sizeof bytes);
        std::uint16_t family;
        std::memcpy(&family, bytes, sizeof family);
        if (family == 2)  // AF_INET as both systems number it
            addresses.push_back(ip_address_v4::from_bytes(bytes + 4));
    }
    return addresses;
}

}  // namespace net
