#include "nat/nat_translation.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
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
constexpr std::size_t ip_identification_offset = offsetof(net::ipv4_header, identification);
constexpr std::size_t ip_fragment_field_offset = offsetof(net::ipv4_header, flags_fragment);
constexpr std::size_t ip_source_offset = offsetof(net::ipv4_header, source);
constexpr std::size_t ip_destination_offset = offsetof(net::ipv4_header, destination);
constexpr std::size_t tcp_flags_offset = offsetof(net::tcp_header, flags);
constexpr std::size_t tcp_checksum_offset = offsetof(net::tcp_header, checksum);
constexpr std::size_t udp_checksum_offset = offsetof(net::udp_header, checksum);
constexpr std::size_t icmp_checksum_offset = offsetof(net::icmp_header, checksum);
constexpr std::size_t icmp_identifier_offset = offsetof(net::icmp_header, identifier);

// Folds `sum` to 16 bits.
std::uint16_t fold16(std::uint32_t sum) noexcept
{
    while (sum >> 16)
        sum = (sum & 0xFFFFu) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

// Updates the checksum at `field` for 16-bit words that changed from `before` to `after`
// (HC' = ~(~HC + ~m + m')). The result is what a full recomputation gives for a datagram
// that arrived intact, at a cost independent of its length; one that arrived damaged stays
// damaged, so its receiver still drops it. It also serves a first fragment, whose checksum
// covers bytes this frame does not hold.
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

// Gives a datagram a new address (source or destination, at `address_field`) and a new port
// or ICMP identifier (at `value_field`), carrying both into the transport checksum. TCP and
// UDP sum the addresses in their pseudo-header, ICMP does not.
void rewrite_endpoint(std::uint8_t* address_field, std::uint8_t* value_field, std::uint8_t* checksum_field,
                      std::uint8_t protocol, net::ip_address_v4 address, std::uint16_t value) noexcept
{
    std::uint8_t before[6];
    std::uint8_t after[6];
    std::memcpy(before, address_field, 4);
    std::memcpy(before + 4, value_field, 2);
    address.to_bytes(after);
    net::store_be16(after + 4, value);
    std::memcpy(address_field, after, 4);
    std::memcpy(value_field, after + 4, 2);
    if (protocol == net::ip_protocol_icmp)
        adjust_checksum(checksum_field, before + 4, after + 4, 2, false);
    else
        adjust_checksum(checksum_field, before, after, 6, protocol == net::ip_protocol_udp);
}

bool is_translated_protocol(std::uint8_t protocol) noexcept
{
    return protocol == net::ip_protocol_tcp || protocol == net::ip_protocol_udp || protocol == net::ip_protocol_icmp;
}

std::size_t checksum_offset_of(std::uint8_t protocol) noexcept
{
    return protocol == net::ip_protocol_tcp   ? tcp_checksum_offset
           : protocol == net::ip_protocol_udp ? udp_checksum_offset
                                              : icmp_checksum_offset;
}

// Only fragmented datagrams read the clock.
std::int64_t now_ms() noexcept
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
    // What every fragment of this datagram shares.
    fragment_key datagram_key() const noexcept
    {
        return fragment_key{source(), destination(), net::load_be16(ip + ip_identification_offset), protocol};
    }
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
    // The tables were cleared or start anew: no fragment may follow an old flow.
    outgoing_fragments_.clear();
    incoming_fragments_.clear();
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
    const std::uint16_t fragment = net::load_be16(out.ip + ip_fragment_field_offset);
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
    if (p.trailing_fragment)
        return translate_trailing_outgoing(buffer, p, forced);

    const net::ip_address_v4 source = p.source();
    const net::ip_address_v4 destination = p.destination();
    std::shared_ptr<const port_nat_entry> port_entry;
    std::shared_ptr<const icmp_nat_entry> icmp_entry;
    bool syn = false;
    if (p.has(net::ip_protocol_tcp)) {
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

    net::ip_address_v4 external;
    std::uint16_t mapped = 0;  // external port or identifier
    if (port_entry) {
        external = port_entry->external_address.load();
        mapped = port_entry->external_port;
    } else if (icmp_entry) {
        external = icmp_entry->external_address;
        mapped = icmp_entry->external_id;
    } else if (syn || p.protocol != net::ip_protocol_tcp) {
        // A new flow that found no port (SYN, UDP) or identifier (ICMP) cannot be translated.
        return drop_unmapped(p);
    }
    if (external == net::ip_address_v4{})
        return packet_action::pass;

    // Only a whole segment can grow by an option; a clamped segment's checksums are refreshed
    // in full on every path that sends it on.
    const bool clamped = syn && !p.first_fragment &&
                         net::clamp_tcp_mss(buffer, settings_.provider_mtu, settings_.client_mtu);
    if (forced && buffer.length > net::ether_header_size &&
        buffer.length - net::ether_header_size > settings_.provider_mtu)
        return answer_oversized(buffer, p, clamped);

    const fragment_key key = p.datagram_key();  // the other fragments still carry the client's source
    rewrite_endpoint(p.ip + ip_source_offset, p.transport + (icmp_entry ? icmp_identifier_offset : 0),
                     p.transport + checksum_offset_of(p.protocol), p.protocol, external, mapped);
    if (clamped)
        net::refresh_tcp_checksum(buffer);
    net::refresh_ip_checksum(buffer);
    if (p.first_fragment)
        outgoing_fragments_.remember(key, external, now_ms());
    return forced ? leave_through_provider(buffer) : packet_action::pass;
}

packet_action nat_translation::translate_trailing_outgoing(tarnwell::INTERMEDIATE_BUFFER& buffer, const parsed& p,
                                                           bool forced)
{
    // Other protocols are never translated, and before the address is known neither is the
    // datagram's first fragment: its other fragments go the same way.
    if (!is_translated_protocol(p.protocol) || udp_table_.external_address() == net::ip_address_v4{})
        return packet_action::pass;
    const std::optional<net::ip_address_v4> external = outgoing_fragments_.find(p.datagram_key(), now_ms());
    if (!external)
        return packet_action::drop;  // see the header: no first fragment to follow
    if (forced && buffer.length > net::ether_header_size &&
        buffer.length - net::ether_header_size > settings_.provider_mtu)
        return answer_oversized(buffer, p, false);
    external->to_bytes(p.ip + ip_source_offset);
    net::refresh_ip_checksum(buffer);
    return forced ? leave_through_provider(buffer) : packet_action::pass;
}

packet_action nat_translation::answer_oversized(tarnwell::INTERMEDIATE_BUFFER& buffer, const parsed& p, bool clamped)
{
    const bool dont_fragment = (net::load_be16(p.ip + ip_fragment_field_offset) & net::ip_flag_dont_fragment) != 0;
    if (dont_fragment && net::make_fragmentation_needed(buffer, settings_.provider_mtu))
        return packet_action::revert;
    if (clamped) {
        net::refresh_tcp_checksum(buffer);
        net::refresh_ip_checksum(buffer);
    }
    return packet_action::pass;
}

packet_action nat_translation::leave_through_provider(tarnwell::INTERMEDIATE_BUFFER& buffer) const
{
    std::memcpy(buffer.frame, wan_remote_mac_.data(), 6);
    std::memcpy(buffer.frame + 6, wan_local_mac_.data(), 6);
    return packet_action::route_revert;
}

void nat_translation::translate_incoming(tarnwell::INTERMEDIATE_BUFFER& buffer, const parsed& p)
{
    if (p.trailing_fragment) {
        if (!is_translated_protocol(p.protocol))
            return;
        // Untracked: the host's own datagram, or one whose first fragment has not come yet.
        const std::optional<net::ip_address_v4> client = incoming_fragments_.find(p.datagram_key(), now_ms());
        if (!client)
            return;
        client->to_bytes(p.ip + ip_destination_offset);
        net::refresh_ip_checksum(buffer);
        return;
    }

    net::ip_address_v4 client;
    std::uint16_t client_value = 0;  // the client's port or identifier
    std::uint8_t* value_field = nullptr;
    if (p.has(net::ip_protocol_tcp) || p.has(net::ip_protocol_udp)) {
        port_nat_table& table = p.protocol == net::ip_protocol_tcp ? tcp_table_ : udp_table_;
        const auto entry = table.find_incoming(p.destination_port(), p.source(), p.source_port());
        if (!entry)
            return;
        client = entry->client_address;
        client_value = entry->client_port;
        value_field = p.transport + 2;
    } else if (p.has(net::ip_protocol_icmp)) {
        const auto entry = icmp_table_.find_reply(p.icmp_identifier(), p.source());
        if (!entry)
            return;
        client = entry->client_address;
        client_value = entry->client_id;
        value_field = p.transport + icmp_identifier_offset;
    } else {
        return;  // other protocols
    }

    const fragment_key key = p.datagram_key();  // the other fragments still carry the external address
    rewrite_endpoint(p.ip + ip_destination_offset, value_field, p.transport + checksum_offset_of(p.protocol),
                     p.protocol, client, client_value);
    net::refresh_ip_checksum(buffer);
    if (p.first_fragment)
        incoming_fragments_.remember(key, client, now_ms());
}

}  // namespace nat
