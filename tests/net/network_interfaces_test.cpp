// get_network_interfaces / get_best_interface over a scripted interface source: which
// adapters are listed, how records are completed (gateway MACs, hardware twin, MTU) and
// what is left as the thread's last error.
#include "net/network_interfaces.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "platform/thread_error.h"

namespace {

using platform::adapter_entry;
using platform::interface_row;

sockaddr_storage v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    sockaddr_in s{};
    s.sin_family = AF_INET;
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::memcpy(&s.sin_addr, bytes, 4);
    return platform::to_socket_address_storage(&s, sizeof s);
}

std::uint32_t last_octet(const sockaddr_storage& s)
{
    sockaddr_in a;
    std::memcpy(&a, &s, sizeof a);
    std::uint8_t bytes[4];
    std::memcpy(bytes, &a.sin_addr, 4);
    return bytes[3];
}

class scripted_source final : public net::interface_source {
public:
    std::vector<interface_row> rows;
    std::vector<adapter_entry> adapters;
    std::uint32_t table_error = 0;
    std::uint32_t adapters_error = 0;
    std::uint32_t best_error = 0;
    std::uint32_t best_index = 0;
    // Gateway last octet -> MAC first byte; others fail with 67.
    std::map<std::uint32_t, std::uint8_t> neighbours;
    std::vector<std::uint64_t> resolved_luids;

    std::uint32_t read_interface_table(std::vector<interface_row>& out) override
    {
        out = rows;
        return table_error;
    }
    std::uint32_t read_adapter_addresses(std::vector<adapter_entry>& out) override
    {
        out = adapters_error ? std::vector<adapter_entry>{} : adapters;
        return adapters_error;
    }
    std::uint32_t resolve_neighbour(const sockaddr_storage& address, std::uint64_t luid,
                                    std::uint8_t (&mac)[6]) override
    {
        resolved_luids.push_back(luid);
        const auto found = neighbours.find(last_octet(address));
        if (found == neighbours.end())
            return 67;
        std::memset(mac, found->second, 6);
        return 0;
    }
    std::uint32_t best_interface(const sockaddr_storage&, std::uint32_t& index) override
    {
        index = best_index;
        return best_error;
    }

    // An adapter that would be listed, with its table row.
    adapter_entry& add(std::uint32_t index, std::uint32_t if_type = platform::if_type_ethernet)
    {
        adapter_entry a;
        a.if_index = index;
        a.adapter_name = "{adapter-" + std::to_string(index) + "}";
        a.friendly_name = L"adapter";
        a.unicast_addresses.push_back(v4(10, 0, static_cast<std::uint8_t>(index), 1));
        a.oper_status = platform::oper_status_up;
        a.if_type = if_type;
        a.luid = 0x1000 + index;
        a.mtu = 1500;
        a.physical_address_length = 6;
        std::memset(a.physical_address, static_cast<int>(index), 6);
        adapters.push_back(a);
        interface_row r;
        r.luid = a.luid;
        r.media_connect_state = platform::media_connect_connected;
        r.physical_medium_type = platform::ndis_physical_medium_802_3;
        r.physical_address_length = 6;
        std::memcpy(r.physical_address, a.physical_address, 6);
        rows.push_back(r);
        return adapters.back();
    }
    interface_row& row_of(std::uint32_t index)
    {
        for (interface_row& r : rows)
            if (r.luid == 0x1000 + index)
                return r;
        return rows.front();
    }
};

std::vector<std::uint32_t> indexes(const std::vector<net::interface_info>& records)
{
    std::vector<std::uint32_t> out;
    for (const auto& r : records)
        out.push_back(r.if_index);
    return out;
}

TEST(NetworkInterfaces, ListsOnlyUpNonLoopbackAdaptersWithAddressAndTableRow)
{
    scripted_source source;
    source.add(1);
    source.add(2).unicast_addresses.clear();                       // no address
    source.add(3).oper_status = platform::oper_status_down;        // down
    source.add(4).oper_status = 7;                                 // lower layer down
    source.add(5, platform::if_type_software_loopback);            // loopback
    source.add(6);
    source.rows.erase(source.rows.begin() + 5);                    // no table row for 6
    source.add(7, platform::if_type_prop_virtual);                 // TUN kind: listed
    platform::set_thread_error(1234);

    const auto records = net::get_network_interfaces(source);
    EXPECT_EQ(indexes(records), (std::vector<std::uint32_t>{1, 7}));
    EXPECT_EQ(platform::get_thread_error(), 0u);
}

TEST(NetworkInterfaces, FailedReadsLeaveTheirErrorAndNoRecords)
{
    struct row {
        std::uint32_t table_error, adapters_error;
    } rows[] = {{50, 0}, {0, 8}, {50, 8}};
    for (const row& r : rows) {
        scripted_source source;
        source.add(1);
        source.table_error = r.table_error;
        source.adapters_error = r.adapters_error;
        EXPECT_TRUE(net::get_network_interfaces(source).empty());
        EXPECT_EQ(platform::get_thread_error(), r.table_error ? r.table_error : r.adapters_error);
    }
}

TEST(NetworkInterfaces, RecordCarriesAdapterAndRowFacts)
{
    scripted_source source;
    adapter_entry& a = source.add(3);
    a.ipv6_if_index = 33;
    a.description = L"desc";
    a.dns_server_addresses.push_back(v4(1, 1, 1, 1));
    a.mtu = 1400;
    a.transmit_link_speed = 1000000000ull;
    a.receive_link_speed = 100000000ull;
    source.row_of(3).media_type = 19;

    const auto records = net::get_network_interfaces(source);
    ASSERT_EQ(records.size(), 1u);
    const net::interface_info& r = records[0];
    EXPECT_EQ(r.ipv6_if_index, 33u);
    EXPECT_EQ(r.adapter_name, "{adapter-3}");
    EXPECT_EQ(r.description, L"desc");
    ASSERT_EQ(r.unicast_addresses.size(), 1u);
    EXPECT_EQ(last_octet(r.unicast_addresses[0]), 1u);
    ASSERT_EQ(r.dns_server_addresses.size(), 1u);
    EXPECT_EQ(r.mtu, 1400);
    EXPECT_EQ(r.luid, 0x1003u);
    EXPECT_EQ(r.media_type, 19u);
    EXPECT_EQ(r.physical_medium_type, platform::ndis_physical_medium_802_3);
    EXPECT_EQ(r.transmit_link_speed, 1000000000ull);
    EXPECT_EQ(r.receive_link_speed, 100000000ull);
    const std::uint8_t mac[6] = {3, 3, 3, 3, 3, 3};
    EXPECT_EQ(std::memcmp(r.mac_address, mac, 6), 0);
    EXPECT_EQ(r.reserved_word, 0);
}

TEST(NetworkInterfaces, MtuAbove16BitsSaturatesInsteadOfWrapping)
{
    const struct {
        std::uint32_t mtu;
        std::uint16_t expected;
    } rows[] = {{1500, 1500}, {65535, 65535}, {65536, 65535}, {0xFFFFFFFFu, 65535}, {0, 0}};
    for (const auto& row : rows) {
        scripted_source source;
        source.add(1).mtu = row.mtu;
        const auto records = net::get_network_interfaces(source);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].mtu, row.expected) << row.mtu;
    }
}

TEST(NetworkInterfaces, GatewayMacsResolvedOnlyForEthernetAndWireless)
{
    scripted_source source;
    source.neighbours = {{254, 0xAA}};
    for (std::uint32_t type : {platform::if_type_ethernet, platform::if_type_ieee80211,
                               platform::if_type_ppp, platform::if_type_prop_virtual}) {
        adapter_entry& a = source.add(static_cast<std::uint32_t>(source.adapters.size() + 1), type);
        a.gateway_addresses.push_back(v4(10, 0, 0, 254));  // answers
        a.gateway_addresses.push_back(v4(10, 0, 0, 253));  // does not
    }
    const auto records = net::get_network_interfaces(source);
    ASSERT_EQ(records.size(), 4u);
    // The unanswered gateway keeps a zero MAC, its record is still returned, and the
    // resolution error stays as the last error.
    EXPECT_EQ(platform::get_thread_error(), 67u);
    const std::uint8_t resolved[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    const std::uint8_t zero[6] = {};
    for (std::size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(records[i].gateways.size(), 2u);
        EXPECT_EQ(last_octet(records[i].gateways[0].address), 254u);
        const bool resolvable = i < 2;
        EXPECT_EQ(std::memcmp(records[i].gateways[0].mac, resolvable ? resolved : zero, 6), 0) << i;
        EXPECT_EQ(std::memcmp(records[i].gateways[1].mac, zero, 6), 0) << i;
    }
    // Resolution asks on the gateway's own interface.
    EXPECT_EQ(source.resolved_luids, (std::vector<std::uint64_t>{0x1001, 0x1001, 0x1002, 0x1002}));
}

TEST(NetworkInterfaces, HardwareTwinFoundByMacForUnspecifiedMediumOnly)
{
    // Adapter 1: a virtual port (medium unspecified) sharing its MAC with a NIC row.
    // Adapter 2: the same MAC but a specified medium: no lookup, zeroes stay.
    scripted_source source;
    source.add(1).physical_address[0] = 0x42;
    source.row_of(1).physical_medium_type = 0;
    source.add(2);
    std::memset(source.adapters.back().physical_address, 1, 6);
    source.adapters.back().physical_address[0] = 0x42;

    auto nic = [&](std::uint64_t luid, std::uint8_t first, std::uint32_t medium, bool hardware,
                   std::uint32_t connect, std::uint32_t length) {
        interface_row r;
        r.luid = luid;
        r.guid.data1 = static_cast<std::uint32_t>(luid);
        r.physical_medium_type = medium;
        r.hardware_interface = hardware;
        r.media_connect_state = connect;
        r.physical_address_length = length;
        std::memset(r.physical_address, 1, 6);
        r.physical_address[0] = first;
        source.rows.push_back(r);
    };
    // Rows that must be passed over, then the one to find, then a later match.
    nic(0x90, 0x42, 14, false, 1, 6);  // not hardware
    nic(0x91, 0x42, 14, true, 2, 6);   // disconnected
    nic(0x92, 0x42, 0, true, 1, 6);    // medium unspecified
    nic(0x93, 0x42, 14, true, 1, 8);   // address not 6 bytes
    nic(0x94, 0x43, 14, true, 1, 6);   // other MAC
    nic(0x95, 0x42, 9, true, 1, 6);    // the twin
    nic(0x96, 0x42, 14, true, 1, 6);   // a later match is not taken

    const auto records = net::get_network_interfaces(source);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].hardware_physical_medium_type, 9u);
    EXPECT_EQ(records[0].hardware_interface_guid.data1, 0x95u);
    EXPECT_EQ(records[1].hardware_physical_medium_type, 0u);
    EXPECT_EQ(records[1].hardware_interface_guid.data1, 0u);
}

TEST(NetworkInterfaces, BestInterfaceReturnsListedRecordOrNothing)
{
    scripted_source source;
    source.add(1);
    source.add(2);
    source.add(3).oper_status = platform::oper_status_down;

    source.best_index = 2;
    auto best = net::get_best_interface(net::ip_address_v4(1, 1, 1, 1), source);
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->if_index, 2u);
    EXPECT_EQ(platform::get_thread_error(), 0u);

    // The route leads through an interface that is not listed (down here).
    source.best_index = 3;
    EXPECT_FALSE(net::get_best_interface(net::ip_address_v4(1, 1, 1, 1), source).has_value());
    EXPECT_EQ(platform::get_thread_error(), 0u);

    // The listing's own error survives a lookup that found nothing listed.
    source.adapters[0].gateway_addresses.push_back(v4(10, 0, 1, 254));
    EXPECT_FALSE(net::get_best_interface(net::ip_address_v4(1, 1, 1, 1), source).has_value());
    EXPECT_EQ(platform::get_thread_error(), 67u);

    // A failed route lookup wins over everything.
    source.best_error = 1231;
    source.best_index = 1;
    EXPECT_FALSE(net::get_best_interface(net::ip_address_v4(1, 1, 1, 1), source).has_value());
    EXPECT_EQ(platform::get_thread_error(), 1231u);
}

TEST(NetworkInterfaces, SocketAddressCopyIsZeroPaddedAndBounded)
{
    unsigned char big[300];
    std::memset(big, 0x5A, sizeof big);
    const sockaddr_storage capped = platform::to_socket_address_storage(big, sizeof big);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&capped);
    EXPECT_EQ(bytes[127], 0x5A);

    const sockaddr_storage padded = platform::to_socket_address_storage(big, 16);
    bytes = reinterpret_cast<const unsigned char*>(&padded);
    EXPECT_EQ(bytes[15], 0x5A);
    for (std::size_t i = 16; i < sizeof padded; ++i)
        ASSERT_EQ(bytes[i], 0) << i;

    const sockaddr_storage none = platform::to_socket_address_storage(nullptr, 16);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&none)[0], 0);
}

}  // namespace
