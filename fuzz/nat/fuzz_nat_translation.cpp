// The NAT gateway's four packet callbacks over real translation tables, driven by a script of
// frames from both sides of the gateway, clock steps and routing switches. Besides keeping
// every access inside the buffer (AddressSanitizer watches its edges), each step checks what
// the peers rely on:
//   - a verdict the callback may give; a dropped packet is left as it came;
//   - a rewritten frame keeps its length (a clamped SYN may grow by its 4-byte MSS option),
//     and its checksums are recomputed or carried over exactly (so that an intact datagram
//     stays valid, and a first fragment's transport checksum still fits its unseen rest);
//   - a reply to a translated packet comes back to the client endpoint that sent it, and equal
//     to the client's packet with its ends swapped;
//   - the tables' indexes agree at the end.
//
// Input: one settings byte (bits 0 and 5 the tables' range, 1 forced routing, 2 the external
// address known, 3-4 the provider MTU), then records. A record is an operation byte and its
// arguments; a frame is given by a 2-byte little-endian length (the buffer's length field,
// which may lie) followed by that many frame bytes, or fewer when the input ends.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "nat/icmp_nat_table.h"
#include "nat/nat_clock.h"
#include "nat/nat_translation.h"
#include "nat/port_nat_table.h"
#include "net/byte_order.h"
#include "net/headers.h"
#include "net/ip_address.h"
#include "tarnwell/control_interface.h"

namespace {

using nat::packet_action;
using tarnwell::INTERMEDIATE_BUFFER;

constexpr std::uint32_t provider_index = 7;
constexpr std::uint8_t other_route_octet = 172;  // destinations 172.x.x.x route elsewhere
const net::ip_address_v4 external{192, 0, 2, 10};
// Provider MTUs a settings or routing byte chooses from: Ethernet, PPPoE, the IPv4 minimum
// datagram every host takes, and the smallest MTU an IPv4 link may have.
constexpr std::uint32_t provider_mtus[4] = {1500, 1492, 576, 68};

[[noreturn]] void fail() { std::abort(); }

void require(bool condition)
{
    if (!condition)
        fail();
}

class routes final : public net::interface_source {
public:
    std::uint32_t read_interface_table(std::vector<platform::interface_row>&) override { return 0; }
    std::uint32_t read_adapter_addresses(std::vector<platform::adapter_entry>&) override { return 0; }
    std::uint32_t resolve_neighbour(const sockaddr_storage&, std::uint64_t, std::uint8_t (&)[6]) override { return 67; }
    std::uint32_t best_interface(const sockaddr_storage& destination, std::uint32_t& index) override
    {
        sockaddr_in v4;
        std::memcpy(&v4, &destination, sizeof v4);
        std::uint8_t first;
        std::memcpy(&first, &v4.sin_addr, 1);
        index = first == other_route_octet ? 3 : provider_index;
        return 0;
    }
};

// Plain 16-bit one's-complement sum, written apart from the library's so that the check does
// not share its faults.
std::uint32_t add_words(std::uint32_t sum, const std::uint8_t* data, std::size_t length)
{
    for (std::size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (length % 2)
        sum += static_cast<std::uint32_t>(data[length - 1] << 8);
    return sum;
}

std::uint16_t fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

// One's-complement values equal up to the two forms of zero.
bool same_ones(std::uint16_t a, std::uint16_t b) { return a % 0xFFFF == b % 0xFFFF; }

struct view {
    bool ipv4 = false;
    std::size_t ihl = 0;
    std::size_t total = 0;
    std::uint8_t protocol = 0;
    bool first_fragment = false;
    bool trailing_fragment = false;
    const std::uint8_t* ip = nullptr;
    const std::uint8_t* transport = nullptr;
    std::size_t transport_length = 0;
};

view look(const INTERMEDIATE_BUFFER& b)
{
    view v;
    const auto layout = net::locate_ipv4(b);
    if (!layout)
        return v;
    v.ipv4 = true;
    v.ihl = layout->header_length;
    v.total = layout->total_length;
    v.protocol = layout->protocol;
    v.ip = b.frame + net::ether_header_size;
    v.transport = b.frame + layout->transport_offset;
    v.transport_length = layout->transport_length;
    const std::uint16_t fragment = net::load_be16(v.ip + 6);
    v.trailing_fragment = (fragment & 0x1FFF) != 0;
    v.first_fragment = !v.trailing_fragment && (fragment & 0x2000) != 0;
    return v;
}

std::size_t transport_minimum(std::uint8_t protocol)
{
    switch (protocol) {
    case net::ip_protocol_tcp:
        return net::tcp_header_min_size;
    case net::ip_protocol_udp:
        return net::udp_header_size;
    case net::ip_protocol_icmp:
        return net::icmp_header_size;
    default:
        return 0;
    }
}

bool translatable(const view& v)
{
    const std::size_t minimum = transport_minimum(v.protocol);
    return v.ipv4 && minimum != 0 && !v.trailing_fragment && v.transport_length >= minimum;
}

// The transport sum with the pseudo-header's addresses and protocol; the length word is left
// out so that a fragment's value can be compared before and after a rewrite.
std::uint16_t transport_sum(const view& v, bool with_length)
{
    std::uint32_t sum = add_words(0, v.transport, v.transport_length);
    if (v.protocol != net::ip_protocol_icmp) {
        sum = add_words(sum, v.ip + 12, 8);
        sum += v.protocol;
        if (with_length)
            sum += static_cast<std::uint32_t>(v.transport_length);
    }
    return fold(sum);
}

std::size_t checksum_offset(std::uint8_t protocol)
{
    return protocol == net::ip_protocol_tcp ? 16 : protocol == net::ip_protocol_udp ? 6 : 2;
}

void require_ip_checksum(const view& v) { require(fold(add_words(0, v.ip, v.ihl)) == 0xFFFF); }

// A frame the callback rewrote (not into an ICMP error) next to the frame it was given.
void check_rewrite(const INTERMEDIATE_BUFFER& before, const INTERMEDIATE_BUFFER& after)
{
    const view was = look(before);
    const view now = look(after);
    require(now.ipv4 && was.ipv4 && now.protocol == was.protocol && now.ihl == was.ihl);
    // The header checksum, too, is recomputed or carried over.
    const std::uint16_t header_sum = fold(add_words(0, now.ip, now.ihl));
    require(header_sum == 0xFFFF || same_ones(header_sum, fold(add_words(0, was.ip, was.ihl))));
    if (!translatable(now))
        return;  // a trailing fragment: only its source address moves
    // The transport checksum is either recomputed (then it verifies) or carried over by
    // the change of the rewritten words (then the frame's sum is what it was: an intact
    // datagram stays valid, a damaged one stays damaged for its receiver to drop). A first
    // fragment only allows the latter: its checksum covers bytes in later frames.
    const std::uint8_t* old_field = was.transport + checksum_offset(was.protocol);
    const std::uint8_t* field = now.transport + checksum_offset(now.protocol);
    const bool whole = !now.first_fragment;
    if (now.protocol == net::ip_protocol_udp && net::load_be16(old_field) == 0) {
        // A sender that left the UDP checksum out: out it stays, or it is computed.
        require(net::load_be16(field) == 0 || (whole && transport_sum(now, true) == 0xFFFF));
        return;
    }
    require(same_ones(transport_sum(now, whole), transport_sum(was, whole)) ||
            (whole && transport_sum(now, true) == 0xFFFF));
}

bool is_clampable_syn(const INTERMEDIATE_BUFFER& b)
{
    const view v = look(b);
    return translatable(v) && v.protocol == net::ip_protocol_tcp && v.transport[13] == net::tcp_flag_syn;
}

// After any verdict but an ICMP error reply: same length, or 4 more for a clamped SYN.
void check_length(const INTERMEDIATE_BUFFER& before, const INTERMEDIATE_BUFFER& after)
{
    if (after.length == before.length)
        return;
    require(is_clampable_syn(before) && after.length == before.length + 4);
}

void check_fragmentation_needed(const INTERMEDIATE_BUFFER& after, std::uint32_t mtu)
{
    require(after.length <= net::frame_capacity);
    const view v = look(after);
    require(v.ipv4 && v.protocol == net::ip_protocol_icmp && v.transport_length >= net::icmp_header_size);
    require_ip_checksum(v);
    require(v.transport[0] == 3 && v.transport[1] == 4);
    require(net::load_be16(v.transport + 6) == static_cast<std::uint16_t>(mtu));
    require(transport_sum(v, false) == 0xFFFF);
}

bool same_frame(const INTERMEDIATE_BUFFER& a, const INTERMEDIATE_BUFFER& b)
{
    return a.length == b.length && std::memcmp(a.frame, b.frame, sizeof a.frame) == 0;
}

// Swaps the ends of a frame in place: addresses, and ports for TCP and UDP.
void swap_ends(INTERMEDIATE_BUFFER& b)
{
    std::uint8_t* ip = b.frame + net::ether_header_size;
    std::uint8_t address[4];
    std::memcpy(address, ip + 12, 4);
    std::memmove(ip + 12, ip + 16, 4);
    std::memcpy(ip + 16, address, 4);
    const view v = look(b);
    if (v.protocol == net::ip_protocol_tcp || v.protocol == net::ip_protocol_udp) {
        auto* t = const_cast<std::uint8_t*>(v.transport);
        std::uint8_t port[2];
        std::memcpy(port, t, 2);
        std::memmove(t, t + 2, 2);
        std::memcpy(t + 2, port, 2);
    }
}

// Compares two datagrams from the EtherType to their end, skipping both checksum fields.
// (The byte after an odd-length datagram may hold the zero pad of a checksum refresh.)
bool equal_but_checksums(const INTERMEDIATE_BUFFER& a, const INTERMEDIATE_BUFFER& b)
{
    if (a.length != b.length)
        return false;
    const view v = look(a);
    const std::size_t end = net::ether_header_size + v.total;
    const std::size_t ip_checksum = net::ether_header_size + 10;
    const std::size_t transport_checksum =
        static_cast<std::size_t>(v.transport - a.frame) + checksum_offset(v.protocol);
    for (std::size_t i = 12; i < end; ++i) {
        if (i == ip_checksum || i == ip_checksum + 1 || i == transport_checksum || i == transport_checksum + 1)
            continue;
        if (a.frame[i] != b.frame[i])
            return false;
    }
    return true;
}

class script {
public:
    script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t word()
    {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    // A frame record: its claimed length, then up to that many bytes (and no more than the
    // frame area holds).
    void frame(INTERMEDIATE_BUFFER& b, bool keep_ether_type)
    {
        std::memset(&b, 0, sizeof b);
        const std::uint16_t claimed = word();
        std::size_t n = claimed;
        if (n > size_ - at_)
            n = size_ - at_;
        if (n > sizeof b.frame)
            n = sizeof b.frame;
        std::memcpy(b.frame, data_ + at_, n);
        at_ += n;
        b.length = claimed;
        if (!keep_ether_type) {
            b.frame[12] = 0x08;
            b.frame[13] = 0x00;
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// The tables allocate from a short range (a few ports, to reach exhaustion and sharing; or
// the top of the 16-bit space, where a counter would wrap). Whole 55536-port tables cost
// more to build and check than the fuzzer's input does to run, and allocate the same way.
struct port_range {
    std::uint16_t first;
    std::uint16_t last;
};

port_range range_of(std::uint8_t settings_byte, std::uint16_t low)
{
    switch ((settings_byte & 0x01) | (settings_byte >> 4 & 0x02)) {
    case 0:
        return {low, static_cast<std::uint16_t>(low + 255)};
    case 1:
        return {low, static_cast<std::uint16_t>(low + 7)};
    case 2:
        return {65280, 65535};
    default:
        return {65528, 65535};
    }
}

struct gateway {
    explicit gateway(std::uint8_t settings_byte)
        : ports(range_of(settings_byte, nat::port_nat_table::first_external_port)),
          ids(range_of(settings_byte, nat::icmp_nat_table::first_external_id)),
          tcp_table(clock, ports.first, ports.last),
          udp_table(clock, ports.first, ports.last),
          icmp_table(clock, ids.first, ids.last),
          translation(tcp_table, udp_table, icmp_table, source, [](const char*) {}, log_level::debug, nullptr)
    {
        configure(provider_mtus[(settings_byte >> 3) & 3]);
        if (settings_byte & 0x02)
            translation.use_forced_routing(local_mac, remote_mac);
        if (settings_byte & 0x04)
            translation.set_external_address(external);
        publish_external_address();
    }

    void configure(std::uint32_t provider_mtu)
    {
        nat::translation_settings settings;
        settings.provider_if_index = provider_index;
        settings.provider_addresses = {external};
        settings.provider_mtu = provider_mtu;
        settings.client_mtu = 1500;
        mtu = provider_mtu;
        translation.configure(settings);
    }

    // The gateway hands the learnt address to its tables.
    void publish_external_address()
    {
        const net::ip_address_v4 address = translation.external_address();
        tcp_table.set_external_address(address);
        udp_table.set_external_address(address);
        icmp_table.set_external_address(address);
    }

    const port_range ports;
    const port_range ids;
    const nat::mac_address local_mac{0x02, 0, 0, 0, 0, 1};
    const nat::mac_address remote_mac{0x02, 0, 0, 0, 0, 2};
    std::shared_ptr<nat::manual_nat_clock> clock = std::make_shared<nat::manual_nat_clock>();
    nat::port_nat_table tcp_table;
    nat::port_nat_table udp_table;
    nat::icmp_nat_table icmp_table;
    routes source;
    nat::nat_translation translation;
    std::uint32_t mtu = 1500;
};

enum class side { client_outgoing, client_incoming, provider_outgoing, provider_incoming };

packet_action run(gateway& g, side s, INTERMEDIATE_BUFFER& b)
{
    switch (s) {
    case side::client_outgoing:
        return g.translation.process_client_outgoing(1, b);
    case side::client_incoming:
        return g.translation.process_client_incoming(1, b);
    case side::provider_outgoing:
        return g.translation.process_provider_outgoing(2, b);
    case side::provider_incoming:
        return g.translation.process_provider_incoming(2, b);
    }
    fail();
}

bool allowed(side s, packet_action verdict)
{
    switch (s) {
    case side::client_outgoing:
    case side::provider_incoming:
        return verdict == packet_action::pass;
    case side::client_incoming:
        return verdict == packet_action::pass || verdict == packet_action::drop || verdict == packet_action::revert ||
               verdict == packet_action::route_revert;
    case side::provider_outgoing:
        return verdict == packet_action::pass || verdict == packet_action::drop;
    }
    return false;
}

// One packet through one callback, with the checks every step shares. Returns the verdict.
packet_action step(gateway& g, side s, INTERMEDIATE_BUFFER& b, INTERMEDIATE_BUFFER& scratch)
{
    std::memcpy(&scratch, &b, sizeof b);
    const packet_action verdict = run(g, s, b);
    require(allowed(s, verdict));
    g.publish_external_address();
    if (verdict == packet_action::drop) {
        require(same_frame(scratch, b));
        return verdict;
    }
    if (verdict == packet_action::revert) {
        check_fragmentation_needed(b, g.mtu);
        return verdict;
    }
    check_length(scratch, b);
    if (same_frame(scratch, b))
        return verdict;
    check_rewrite(scratch, b);
    // A client's packet leaves from the external address or keeps its own source; a reply
    // keeps its remote source.
    const std::uint8_t* was = scratch.frame + net::ether_header_size + 12;
    const std::uint8_t* now = b.frame + net::ether_header_size + 12;
    if (s == side::provider_incoming)
        require(std::memcmp(was, now, 4) == 0);
    else if (std::memcmp(was, now, 4) != 0)
        require(net::ip_address_v4::from_bytes(now) == external);
    return verdict;
}

// A client packet out, then its remote's reply in: the reply must reach that client.
void round_trip(gateway& g, side out, INTERMEDIATE_BUFFER& b, INTERMEDIATE_BUFFER& original,
                INTERMEDIATE_BUFFER& scratch)
{
    std::memcpy(&original, &b, sizeof b);
    const packet_action verdict = step(g, out, b, scratch);
    const bool sent = out == side::client_incoming ? verdict == packet_action::route_revert
                                                   : verdict == packet_action::pass;
    if (!sent || same_frame(original, b) || !translatable(look(b)))
        return;
    swap_ends(b);
    step(g, side::provider_incoming, b, scratch);
    swap_ends(b);
    // Back at the client: its own endpoints again, and, unless it is a SYN whose MSS may
    // have been clamped, its own bytes apart from the checksums.
    const view now = look(b);
    const view was = look(original);
    require(now.ipv4 && std::memcmp(now.ip + 12, was.ip + 12, 8) == 0);
    if (now.protocol == net::ip_protocol_icmp)
        require(std::memcmp(now.transport + 4, was.transport + 4, 2) == 0);
    else
        require(std::memcmp(now.transport, was.transport, 4) == 0);
    if (!is_clampable_syn(original))
        require(equal_but_checksums(original, b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    script in(data, size);
    gateway g(in.byte());
    // Separate heap blocks of exactly one buffer each, so that AddressSanitizer sees any
    // access past a frame.
    auto frame = std::make_unique<INTERMEDIATE_BUFFER>();
    auto original = std::make_unique<INTERMEDIATE_BUFFER>();
    auto scratch = std::make_unique<INTERMEDIATE_BUFFER>();

    while (!in.done()) {
        const std::uint8_t op = in.byte();
        const bool keep_ether_type = (op & 0x08) != 0;
        switch (op & 0x07) {
        case 0:
        case 1:
        case 2:
        case 3:
            in.frame(*frame, keep_ether_type);
            step(g, static_cast<side>(op & 0x03), *frame, *scratch);
            break;
        case 4:
            in.frame(*frame, keep_ether_type);
            round_trip(g, side::provider_outgoing, *frame, *original, *scratch);
            break;
        case 5:
            in.frame(*frame, keep_ether_type);
            round_trip(g, side::client_incoming, *frame, *original, *scratch);
            break;
        case 6:
            // Idle time: entries go stale after 600 s, and the clock may also step back.
            if (op & 0x80)
                g.clock->advance(-static_cast<std::int64_t>(in.byte()));
            else
                g.clock->advance(in.word());
            break;
        case 7: {
            const std::uint8_t how = in.byte();
            if (how & 0x04)
                g.configure(provider_mtus[(how >> 3) & 3]);  // a restart with another provider MTU
            if (how & 0x01)
                g.translation.use_forced_routing(g.local_mac, g.remote_mac);
            else
                g.translation.use_host_routing();
            if (how & 0x02) {
                g.translation.set_external_address({});  // the gateway's stop forgets it
                g.publish_external_address();
            }
            break;
        }
        }
    }
    require(g.tcp_table.indexes_consistent());
    require(g.udp_table.indexes_consistent());
    require(g.icmp_table.indexes_consistent());
    return 0;
}
