#include "nat/nat_translation.h"

#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "net/byte_order.h"
#include "net/checksum.h"
#include "net/headers.h"
#include "net/rewriters.h"

namespace nat {
namespace {

constexpr const char* log_prefix = "wintun_nat_gateway: ";
constexpr net::ip_address_v4 probe_address{1, 1, 1, 1};
constexpr std::uint16_t probe_port = 53;
constexpr char probe_text[] = "1.1.1.1";
constexpr std::size_t probe_length = sizeof probe_text - 1;
constexpr std::uint16_t ip_more_fragments = 0x2000;
constexpr std::uint16_t ip_fragment_offset_mask = 0x1FFF;
constexpr std::size_t tcp_flags_offset = 13;
constexpr std::size_t tcp_checksum_offset = 16;
constexpr std::size_t udp_checksum_offset = 6;
constexpr std::size_t icmp_checksum_offset = 2;
constexpr std::size_t icmp_identifier_offset = 4;
constexpr std::size_t ip_source_offset = 12;
constexpr std::size_t ip_destination_offset = 16;

// Folds `sum` to 16 bits.
std::uint16_t fold16(std::uint32_t sum) noexcept
{
    while (sum >> 16)
        sum = (sum & 0xFFFFu) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

// Updates the checksum at `field` for 16-bit words that changed from `before` to `after`
// (HC' = ~(~HC + ~m + m')). Used for a datagram's first fragment, where the checksum covers
// bytes this frame does not hold and so cannot be recomputed.
void adjust_checksum(std::uint8_t* field, const std::uint8_t* before, const std::uint8_t* after,
                     std::size_t length, bool zero_means_none) noexcept
{
    const std::uint16_t stored = net::load_be16(field);
    if (zero_means_none && stored == 0)
        return;  // a UDP sender that left out the checksum: keep it out
    std::uint32_t sum = static_cast<std::uint16_t>(~stored);
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        sum += static_cast<std::uint16_t>(~net::load_be16(before + i));
        sum += net::load_be16(after + i);
    }
    std::uint16_t result = static_cast<std::uint16_t>(~fold16(sum));
    if (zero_means_none && result == 0)
        result = 0xFFFF;
    net::store_be16(field, result);
}

}  // namespace

// Where the headers of one IPv4 frame lie; only built for frames whose whole datagram lies
// inside the frame area.
struct nat_translation::parsed {
    std::uint8_t* ip = nullptr;
    std::uint8_t* transport = nullptr;
    std::size_t transport_length = 0;
    std::uint8_t protocol = 0;
    bool first_fragment = false;     // more fragments follow: the checksum covers more than this frame
    bool trailing_fragment = false;  // offset != 0: no transport header in this frame

    net::ip_address_v4 source() const noexcept { return net::ip_address_v4::from_bytes(ip + ip_source_offset); }
    net::ip_address_v4 destination() const noexcept
    {
        return net::ip_address_v4::from_bytes(ip + ip_destination_offset);
    }
    std::uint16_t source_port() const noexcept { return net::load_be16(transport); }
    std::uint16_t destination_port() const noexcept { return net::load_be16(transport + 2); }
    std::uint16_t icmp_identifier() const noexcept { return net::load_be16(transport + icmp_identifier_offset); }
    // Whether the transport header this protocol needs lies inside the datagram.
    bool has(std::uint8_t wanted) const noexcept
    {
        if (protocol != wanted || trailing_fragment)
            return false;
        switch (wanted) {
        case net::ip_protocol_tcp:
            return transport_length >= net::tcp_header_min_size;
        case net::ip_protocol_udp:
            return transport_length >= net::udp_header_size;
        case net::ip_protocol_icmp:
            return transport_length >= net::icmp_header_size;
        default:
            return false;
        }
    }
};

nat_translation::nat_translation(port_nat_table& tcp_table, port_nat_table& udp_table, icmp_nat_table& icmp_table,
                                 net::interface_source& interfaces, log_printer printer, log_level level,
                                 std::shared_ptr<pcap::pcap_file_storage> capture)
    : tcp_table_(tcp_table),
      udp_table_(udp_table),
      icmp_table_(icmp_table),
      interfaces_(interfaces),
      printer_(std::move(printer)),
      level_(level),
      capture_(std::move(capture))
{
}

void nat_translation::configure(translation_settings settings)
{
    settings_ = std::move(settings);
    // Until the next routing decision the client side passes everything, so a restart never
    // reads the WAN addresses while the decision rewrites them.
    force_routing_.store(false, std::memory_order_release);
}

void nat_translation::use_host_routing() noexcept
{
    force_routing_.store(false, std::memory_order_release);
}

void nat_translation::use_forced_routing(const mac_address& local, const mac_address& remote) noexcept
{
    wan_local_mac_ = local;
    wan_remote_mac_ = remote;
    force_routing_.store(true, std::memory_order_release);
}

void nat_translation::capture(const tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    if (capture_)
        *capture_ << buffer;
}

bool nat_translation::routes_through_provider(net::ip_address_v4 destination) const
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = destination.to_in_addr();
    const sockaddr_storage storage = platform::to_socket_address_storage(&address, sizeof address);
    std::uint32_t index = 0;
    return interfaces_.best_interface(storage, index) == 0 && index == settings_.provider_if_index;
}

bool nat_translation::is_provider_address(net::ip_address_v4 source) const
{
    for (const net::ip_address_v4& own : settings_.provider_addresses)
        if (own == source)
            return true;
    return false;
}

bool nat_translation::parse(tarnwell::INTERMEDIATE_BUFFER& buffer, parsed& out) noexcept
{
    const auto layout = net::locate_ipv4(buffer);
    if (!layout)
        return false;
    out.ip = buffer.frame + net::ether_header_size;
    out.transport = buffer.frame + layout->transport_offset;
    out.transport_length = layout->transport_length;
    out.protocol = layout->protocol;
    const std::uint16_t fragment = net::load_be16(out.ip + 6);
    out.trailing_fragment = (fragment & ip_fragment_offset_mask) != 0;
    out.first_fragment = !out.trailing_fragment && (fragment & ip_more_fragments) != 0;
    return true;
}

bool nat_translation::is_probe(const parsed& p) const
{
    if (!p.has(net::ip_protocol_udp) || p.destination_port() != probe_port || !(p.destination() == probe_address))
        return false;
    return p.transport_length >= net::udp_header_size + probe_length &&
           std::memcmp(p.transport + net::udp_header_size, probe_text, probe_length) == 0;
}

packet_action nat_translation::process_client_outgoing(std::uint64_t, tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    capture(buffer);
    return packet_action::pass;
}

packet_action nat_translation::process_client_incoming(std::uint64_t, tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    capture(buffer);
    if (!force_routing())
        return packet_action::pass;
    parsed p;
    if (!parse(buffer, p))
        return packet_action::pass;
    if ((buffer.frame[0] & 0x01) != 0)
        return packet_action::pass;  // broadcast or multicast: not a flow to translate
    if (!routes_through_provider(p.destination()))
        return packet_action::pass;
    return translate_outgoing(buffer, p, true);
}

packet_action nat_translation::process_provider_outgoing(std::uint64_t, tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    capture(buffer);
    parsed p;
    if (!parse(buffer, p))
        return packet_action::pass;
    // Only the host's own probe leaves from one of the provider's addresses; a client's
    // datagram of the same shape must not set the address every flow is translated to.
    if (is_probe(p) && is_provider_address(p.source()) && !(p.source() == external_address_.load())) {
        const net::ip_address_v4 address = p.source();
        external_address_.store(address);
        if (level_ >= log_level::info)
            log_with_prefix(printer_, log_prefix, "Identified external IPv4 address: " + net::to_string(address));
        return packet_action::drop;
    }
    if (is_provider_address(p.source()))
        return packet_action::pass;  // the host's own traffic
    if (force_routing())
        return packet_action::pass;
    // Routed by the host, a packet that cannot be translated would leave with the client's
    // private address: it is dropped instead.
    return translate_outgoing(buffer, p, false) == packet_action::drop ? packet_action::drop : packet_action::pass;
}

packet_action nat_translation::drop_unmapped(const parsed& p)
{
    if (level_ >= log_level::debug && printer_) {
        const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        std::int64_t last = last_unmapped_log_.load();
        if (now != last && last_unmapped_log_.compare_exchange_strong(last, now))
            log_with_prefix(printer_, log_prefix,
                            "No free external port or identifier for a new flow of " + net::to_string(p.source()) +
                                ": packet dropped");
    }
    return packet_action::drop;
}

packet_action nat_translation::process_provider_incoming(std::uint64_t, tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    capture(buffer);
    parsed p;
    if (parse(buffer, p))
        translate_incoming(buffer, p);
    return packet_action::pass;
}

packet_action nat_translation::translate_outgoing(tarnwell::INTERMEDIATE_BUFFER& buffer, const parsed& p, bool forced)
{
    const net::ip_address_v4 source = p.source();
    const net::ip_address_v4 destination = p.destination();
    std::shared_ptr<const port_nat_entry> port_entry;
    std::shared_ptr<const icmp_nat_entry> icmp_entry;
    net::ip_address_v4 external;
    std::uint8_t new_id[2] = {};
    bool syn = false;

    if (p.trailing_fragment) {
        // No transport header here. Every entry carries the tables' one external address,
        // so the source alone follows the datagram's first fragment out.
        if (p.protocol != net::ip_protocol_tcp && p.protocol != net::ip_protocol_udp &&
            p.protocol != net::ip_protocol_icmp)
            return packet_action::pass;
        external = udp_table_.external_address();
    } else if (p.has(net::ip_protocol_tcp)) {
        // Sending a flow out from 0.0.0.0 before the address is known would only lose it.
        if (tcp_table_.external_address() == net::ip_address_v4{})
            return packet_action::pass;
        syn = p.transport[tcp_flags_offset] == net::tcp_flag_syn;
        port_entry = syn ? tcp_table_.find_or_create(source, p.source_port(), destination, p.destination_port())
                         : tcp_table_.find_outgoing(source, p.source_port(), destination, p.destination_port());
    } else if (p.has(net::ip_protocol_udp)) {
        if (udp_table_.external_address() == net::ip_address_v4{})
            return packet_action::pass;
        port_entry = udp_table_.find_or_create(source, p.source_port(), destination, p.destination_port());
    } else if (p.has(net::ip_protocol_icmp)) {
        if (icmp_table_.external_address() == net::ip_address_v4{})
            return packet_action::pass;
        icmp_entry = icmp_table_.create_mapping(source, destination, p.icmp_identifier());
    } else {
        return packet_action::pass;
    }
    // A new flow that found no port (SYN, UDP) or identifier (ICMP) cannot be translated.
    const bool creates = syn || p.has(net::ip_protocol_udp) || p.has(net::ip_protocol_icmp);
    if (!p.trailing_fragment && creates && !port_entry && !icmp_entry)
        return drop_unmapped(p);
    if (port_entry) {
        external = port_entry->external_address.load();
        net::store_be16(new_id, port_entry->external_port);
    } else if (icmp_entry) {
        external = icmp_entry->external_address;
        net::store_be16(new_id, icmp_entry->external_id);
    }
    if (external == net::ip_address_v4{})
        return packet_action::pass;

    // Only a whole segment can grow by an option; a clamped segment's checksums are refreshed
    // below on every path that sends it on.
    const bool clamped = syn && !p.first_fragment &&
                         net::clamp_tcp_mss(buffer, settings_.provider_mtu, settings_.client_mtu);

    if (forced && buffer.length > net::ether_header_size &&
        buffer.length - net::ether_header_size > settings_.provider_mtu) {
        const bool dont_fragment = (net::load_be16(p.ip + 6) & net::ip_flag_dont_fragment) != 0;
        if (dont_fragment && net::make_fragmentation_needed(buffer, settings_.provider_mtu))
            return packet_action::revert;
        if (clamped) {
            net::refresh_tcp_checksum(buffer);
            net::refresh_ip_checksum(buffer);
        }
        return packet_action::pass;
    }

    std::uint8_t before[6];
    std::memcpy(before, p.ip + ip_source_offset, 4);
    external.to_bytes(p.ip + ip_source_offset);
    if (p.trailing_fragment) {
        // nothing but the address to change
    } else if (icmp_entry) {
        std::memcpy(before, p.transport + icmp_identifier_offset, 2);
        std::memcpy(p.transport + icmp_identifier_offset, new_id, 2);
        if (p.first_fragment)
            adjust_checksum(p.transport + icmp_checksum_offset, before, new_id, 2, false);
        else
            net::refresh_icmp_checksum(buffer);
    } else {
        std::memcpy(before + 4, p.transport, 2);
        std::memcpy(p.transport, new_id, 2);
        const bool tcp = p.protocol == net::ip_protocol_tcp;
        if (p.first_fragment) {
            std::uint8_t after[6];
            std::memcpy(after, p.ip + ip_source_offset, 4);
            std::memcpy(after + 4, new_id, 2);
            adjust_checksum(p.transport + (tcp ? tcp_checksum_offset : udp_checksum_offset), before, after, 6,
                            !tcp);
        } else if (tcp) {
            net::refresh_tcp_checksum(buffer);
        } else {
            net::refresh_udp_checksum(buffer);
        }
    }
    net::refresh_ip_checksum(buffer);

    if (!forced)
        return packet_action::pass;
    std::memcpy(buffer.frame, wan_remote_mac_.data(), 6);
    std::memcpy(buffer.frame + 6, wan_local_mac_.data(), 6);
    return packet_action::route_revert;
}

void nat_translation::translate_incoming(tarnwell::INTERMEDIATE_BUFFER& buffer, const parsed& p)
{
    std::uint8_t* transport_field = nullptr;  // the destination port or the identifier
    std::uint8_t client_value[2];
    net::ip_address_v4 client;
    std::size_t checksum_offset = 0;
    if (p.has(net::ip_protocol_tcp) || p.has(net::ip_protocol_udp)) {
        const bool tcp = p.protocol == net::ip_protocol_tcp;
        port_nat_table& table = tcp ? tcp_table_ : udp_table_;
        const auto entry = table.find_incoming(p.destination_port(), p.source(), p.source_port());
        if (!entry)
            return;
        client = entry->client_address;
        net::store_be16(client_value, entry->client_port);
        transport_field = p.transport + 2;
        checksum_offset = tcp ? tcp_checksum_offset : udp_checksum_offset;
    } else if (p.has(net::ip_protocol_icmp)) {
        const auto entry = icmp_table_.find_reply(p.icmp_identifier(), p.source());
        if (!entry)
            return;
        client = entry->client_address;
        net::store_be16(client_value, entry->client_id);
        transport_field = p.transport + icmp_identifier_offset;
        checksum_offset = icmp_checksum_offset;
    } else {
        return;  // other protocols, and fragments after the first, which carry no ports
    }

    std::uint8_t before[6];
    std::uint8_t after[6];
    std::memcpy(before, p.ip + ip_destination_offset, 4);
    std::memcpy(before + 4, transport_field, 2);
    client.to_bytes(p.ip + ip_destination_offset);
    std::memcpy(transport_field, client_value, 2);
    std::memcpy(after, p.ip + ip_destination_offset, 4);
    std::memcpy(after + 4, client_value, 2);

    if (p.protocol == net::ip_protocol_icmp) {
        if (p.first_fragment)
            adjust_checksum(p.transport + checksum_offset, before + 4, after + 4, 2, false);
        else
            net::refresh_icmp_checksum(buffer);
    } else if (p.first_fragment) {
        adjust_checksum(p.transport + checksum_offset, before, after, 6, p.protocol == net::ip_protocol_udp);
    } else if (p.protocol == net::ip_protocol_tcp) {
        net::refresh_tcp_checksum(buffer);
    } else {
        net::refresh_udp_checksum(buffer);
    }
    net::refresh_ip_checksum(buffer);
}

}  // namespace nat
