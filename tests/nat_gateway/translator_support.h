#pragma once
// The translation callbacks over real tables, a scripted route source and a manual clock,
// with the client, remote and external addresses the translation tests share.

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nat/nat_translation.h"
#include "nat_gateway/nat_frames.h"

namespace nat_test {

inline const net::ip_address_v4 client{10, 66, 0, 2};
inline const net::ip_address_v4 remote{93, 184, 216, 34};
inline const net::ip_address_v4 remote2{93, 184, 216, 35};
inline const net::ip_address_v4 external{192, 0, 2, 10};
inline const net::ip_address_v4 local_subnet_host{172, 16, 0, 9};
inline constexpr std::uint32_t provider_index = 7;

// Routes everything through the provider except local_subnet_host.
class routes final : public net::interface_source {
public:
    std::uint32_t read_interface_table(std::vector<platform::interface_row>&) override { return 0; }
    std::uint32_t read_adapter_addresses(std::vector<platform::adapter_entry>&) override { return 0; }
    std::uint32_t resolve_neighbour(const sockaddr_storage&, std::uint64_t, std::uint8_t (&)[6]) override
    {
        return 67;
    }
    std::uint32_t best_interface(const sockaddr_storage& destination, std::uint32_t& index) override
    {
        sockaddr_in v4;
        std::memcpy(&v4, &destination, sizeof v4);
        index = net::ip_address_v4(v4.sin_addr) == local_subnet_host ? 3 : provider_index;
        return 0;
    }
};

struct translator {
    explicit translator(std::shared_ptr<pcap::pcap_file_storage> capture = nullptr,
                        std::uint32_t provider_mtu = 1500, std::uint32_t client_mtu = 1500)
        : translation(tcp_table, udp_table, icmp_table, source,
                      [this](const char* line) { lines.emplace_back(line); }, log_level::all, std::move(capture))
    {
        nat::translation_settings settings;
        settings.provider_if_index = provider_index;
        settings.provider_addresses = {external};
        settings.provider_mtu = provider_mtu;
        settings.client_mtu = client_mtu;
        translation.configure(settings);
        set_external(external);
    }
    void set_external(net::ip_address_v4 address)
    {
        tcp_table.set_external_address(address);
        udp_table.set_external_address(address);
        icmp_table.set_external_address(address);
        translation.set_external_address(address);
    }

    std::shared_ptr<nat::manual_nat_clock> clock = std::make_shared<nat::manual_nat_clock>();
    nat::port_nat_table tcp_table{clock};
    nat::port_nat_table udp_table{clock};
    nat::icmp_nat_table icmp_table{clock};
    routes source;
    std::vector<std::string> lines;
    nat::nat_translation translation;
};

inline frame_spec outgoing(std::uint8_t protocol, std::uint8_t flags = 0x02)
{
    frame_spec s;
    s.protocol = protocol;
    s.source = client;
    s.destination = remote;
    s.source_port = 40000;
    s.destination_port = 443;
    s.tcp_flags = flags;
    s.payload = 10;
    return s;
}

inline frame_spec reply_to(const frame_spec& out, std::uint16_t external_port)
{
    frame_spec s = out;
    s.source = out.destination;
    s.destination = external;
    s.source_port = out.protocol == icmp ? external_port : out.destination_port;
    s.destination_port = external_port;
    s.tcp_flags = 0x12;
    s.icmp_type = 0;
    return s;
}

}  // namespace nat_test
