#include "driver/filter_table.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "driver/driver_host.h"

namespace corvflt {
namespace {

using namespace tarnwell;

constexpr std::uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr std::uint16_t ETHERTYPE_IPV6 = 0x86DD;
constexpr std::uint8_t PROTO_ICMP = 1;
constexpr std::uint8_t PROTO_TCP = 6;
constexpr std::uint8_t PROTO_UDP = 17;
constexpr std::uint8_t PROTO_ICMPV6 = 58;

std::uint16_t read_be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

bool subnet_match(const std::uint8_t* address, const std::uint8_t* base, const std::uint8_t* mask,
                  std::uint32_t width)
{
    for (std::uint32_t i = 0; i < width; ++i) {
        if ((address[i] & mask[i]) != (base[i] & mask[i]))
            return false;
    }
    return true;
}

// IPv4 ranges compare octet by octet: 10.0.0.1-10.0.255.254 holds 10.0.5.7, not 10.0.5.255.
bool octet_range_match(const std::uint8_t* address, const std::uint8_t* low,
                       const std::uint8_t* high)
{
    for (std::uint32_t i = 0; i < 4; ++i) {
        if (address[i] < low[i] || address[i] > high[i])
            return false;
    }
    return true;
}

// IPv6 ranges compare whole addresses as 128-bit numbers.
bool address_range_match(const std::uint8_t* address, const std::uint8_t* first,
                         const std::uint8_t* last)
{
    return std::memcmp(address, first, 16) >= 0 && std::memcmp(address, last, 16) <= 0;
}

bool address_match(std::uint32_t kind, const std::uint8_t* address, const std::uint8_t* criteria,
                   std::uint32_t width)
{
    if (kind == FILTER_ADDRESS_SUBNET)
        return subnet_match(address, criteria, criteria + width, width);
    if (kind == FILTER_ADDRESS_RANGE) {
        return width == 4 ? octet_range_match(address, criteria, criteria + 4)
                          : address_range_match(address, criteria, criteria + 16);
    }
    return false;
}

bool data_link_match(const STATIC_FILTER& e, const std::uint8_t* frame, std::uint32_t length)
{
    if (e.data_link_kind != FILTER_DATA_LINK_ETHERNET || length < 14)
        return false;
    if ((e.ethernet_fields & FILTER_ETH_SOURCE_MAC) && std::memcmp(frame + 6, e.source_mac, 6) != 0)
        return false;
    if ((e.ethernet_fields & FILTER_ETH_DEST_MAC) && std::memcmp(frame, e.dest_mac, 6) != 0)
        return false;
    if ((e.ethernet_fields & FILTER_ETH_ETHERTYPE) && read_be16(frame + 12) != e.ethertype)
        return false;
    return true;
}

bool network_match(const STATIC_FILTER& e, const std::uint8_t* frame, const packet_layers& layers)
{
    if (e.network_kind == FILTER_NETWORK_IPV4) {
        if (layers.ethertype != ETHERTYPE_IPV4 || !layers.network_offset)
            return false;
        const std::uint8_t* ip = frame + layers.network_offset;
        IPV4_FILTER f;
        std::memcpy(&f, &e.ipv4, sizeof(f));
        if ((e.network_fields & FILTER_IP_SOURCE) && !address_match(f.source_kind, ip + 12, f.source, 4))
            return false;
        if ((e.network_fields & FILTER_IP_DEST) && !address_match(f.dest_kind, ip + 16, f.dest, 4))
            return false;
        if ((e.network_fields & FILTER_IP_PROTOCOL) && layers.protocol != f.protocol)
            return false;
        return true;
    }
    if (e.network_kind == FILTER_NETWORK_IPV6) {
        if (layers.ethertype != ETHERTYPE_IPV6 || !layers.network_offset)
            return false;
        const std::uint8_t* ip = frame + layers.network_offset;
        IPV6_FILTER f;
        std::memcpy(&f, &e.ipv6, sizeof(f));
        if ((e.network_fields & FILTER_IP_SOURCE) && !address_match(f.source_kind, ip + 8, f.source, 16))
            return false;
        if ((e.network_fields & FILTER_IP_DEST) && !address_match(f.dest_kind, ip + 24, f.dest, 16))
            return false;
        if ((e.network_fields & FILTER_IP_PROTOCOL) && layers.protocol != f.protocol)
            return false;
        return true;
    }
    return false;
}

bool transport_match(const STATIC_FILTER& e, const std::uint8_t* frame, std::uint32_t length,
                     const packet_layers& layers)
{
    if (!layers.transport_offset)
        return false;
    const std::uint8_t* t = frame + layers.transport_offset;
    const std::uint32_t available = length - layers.transport_offset;
    if (e.transport_kind == FILTER_TRANSPORT_PORTS) {
        if (layers.protocol != PROTO_TCP && layers.protocol != PROTO_UDP)
            return false;
        if (available < 4)
            return false;
        PORT_FILTER f;
        std::memcpy(&f, &e.ports, sizeof(f));
        const std::uint16_t source = read_be16(t), dest = read_be16(t + 2);
        if ((e.transport_fields & FILTER_TRANSPORT_SOURCE) &&
            (source < f.source_first || source > f.source_last))
            return false;
        if ((e.transport_fields & FILTER_TRANSPORT_DEST) &&
            (dest < f.dest_first || dest > f.dest_last))
            return false;
        if ((e.transport_fields & FILTER_TRANSPORT_TCP_FLAGS) && layers.protocol == PROTO_TCP) {
            if (available < 14 || t[13] != f.tcp_flags)
                return false;
        }
        return true;
    }
    if (e.transport_kind == FILTER_TRANSPORT_ICMP) {
        if ((layers.protocol != PROTO_ICMP && layers.protocol != PROTO_ICMPV6) || available < 2)
            return false;
        const ICMP_FILTER& f = e.icmp;
        return t[0] >= f.type_first && t[0] <= f.type_last && t[1] >= f.code_first &&
               t[1] <= f.code_last;
    }
    return false;
}

bool is_ipv6_extension(std::uint8_t next)
{
    return next == 0 || next == 43 || next == 44 || next == 51 || next == 60;
}

}  // namespace

packet_layers parse_layers(const std::uint8_t* frame, std::uint32_t length)
{
    packet_layers layers;
    if (length < 14)
        return layers;
    layers.ethertype = read_be16(frame + 12);
    const std::uint32_t net = 14;
    if (layers.ethertype == ETHERTYPE_IPV4) {
        if (length < net + 20 || (frame[net] >> 4) != 4)
            return layers;
        const std::uint32_t header = (frame[net] & 0x0F) * 4u;
        if (header < 20 || length < net + header)
            return layers;
        layers.network_offset = net;
        layers.protocol = frame[net + 9];
        // Later fragments carry no transport header.
        const bool later_fragment = (read_be16(frame + net + 6) & 0x1FFF) != 0;
        if (!later_fragment && (layers.protocol == PROTO_TCP || layers.protocol == PROTO_UDP ||
                                layers.protocol == PROTO_ICMP))
            layers.transport_offset = net + header;
        if (layers.transport_offset >= length)
            layers.transport_offset = 0;
        return layers;
    }
    if (layers.ethertype == ETHERTYPE_IPV6) {
        if (length < net + 40 || (frame[net] >> 4) != 6)
            return layers;
        layers.network_offset = net;
        std::uint8_t next = frame[net + 6];
        std::uint32_t offset = net + 40;
        // Bounded walk: each extension header is at least 8 bytes, so the frame limits it.
        while (is_ipv6_extension(next)) {
            if (length < offset + 8)
                return layers;
            std::uint32_t size;
            if (next == 44)
                size = 8;
            else if (next == 51)
                size = (frame[offset + 1] + 2u) * 4u;
            else
                size = (frame[offset + 1] + 1u) * 8u;
            if (next == 44 && (read_be16(frame + offset + 2) & 0xFFF8) != 0) {
                layers.protocol = frame[offset];
                return layers;  // later fragment: no transport header
            }
            next = frame[offset];
            offset += size;
        }
        layers.protocol = next;
        if ((next == PROTO_TCP || next == PROTO_UDP || next == PROTO_ICMPV6) && offset < length)
            layers.transport_offset = offset;
        return layers;
    }
    return layers;
}

bool filter_table::set(driver_host& host, const std::uint8_t* records, std::uint32_t count,
                       std::uint32_t now)
{
    filter_entry* entries = nullptr;
    const std::uint64_t bytes = std::uint64_t{sizeof(filter_entry)} * count;  // cannot wrap
    if (count != 0 && bytes <= SIZE_MAX)
        entries = static_cast<filter_entry*>(host.allocate(static_cast<std::size_t>(bytes)));
    if (entries) {
        for (std::uint32_t i = 0; i < count; ++i) {
            filter_entry* e = new (&entries[i]) filter_entry{};
            std::memcpy(&e->record, records + 181ull * i, sizeof(STATIC_FILTER));
            e->record.start_time = now;
            e->record.incoming_packets = e->record.incoming_bytes = 0;
            e->record.outgoing_packets = e->record.outgoing_bytes = 0;
        }
    }
    // One exchange under the lock: concurrent sets and resets each take effect whole, in
    // some order, and every replaced table is freed. A failed replacement leaves no table
    // rather than a stale one.
    filter_entry* old;
    {
        exclusive_guard<rw_spin_lock> guard(lock_);
        old = entries_;
        entries_ = entries;
        count_ = entries ? count : 0;
    }
    if (old)
        host.free(old);
    return entries != nullptr;
}

void filter_table::reset(driver_host& host)
{
    filter_entry* old = nullptr;
    {
        exclusive_guard<rw_spin_lock> guard(lock_);
        old = entries_;
        entries_ = nullptr;
        count_ = 0;
    }
    if (old)
        host.free(old);
}

std::uint32_t filter_table::size()
{
    shared_guard guard(lock_);
    return count_;
}

bool filter_table::copy_out(std::uint8_t* out, std::uint32_t out_length, bool reset_stats,
                            std::uint32_t now)
{
    exclusive_guard<rw_spin_lock> guard(lock_);
    if (out_length < filter_table_size(count_) || out_length < 4)
        return false;
    std::memcpy(out, &count_, 4);
    for (std::uint32_t i = 0; i < count_; ++i) {
        filter_entry& e = entries_[i];
        STATIC_FILTER record = e.record;
        record.incoming_packets = e.incoming_packets.load();
        record.incoming_bytes = e.incoming_bytes.load();
        record.outgoing_packets = e.outgoing_packets.load();
        record.outgoing_bytes = e.outgoing_bytes.load();
        std::memcpy(out + FILTER_TABLE_HEADER_SIZE + 181ull * i, &record, sizeof(record));
        if (reset_stats) {
            e.record.start_time = now;
            e.incoming_packets = e.incoming_bytes = e.outgoing_packets = e.outgoing_bytes = 0;
        }
    }
    return true;
}

std::uint32_t filter_table::match(std::uint64_t adapter_handle, std::uint32_t direction,
                                  const std::uint8_t* frame, std::uint32_t length,
                                  std::uint32_t* matched_index)
{
    shared_guard guard(lock_);
    if (!entries_)
        return FILTER_RESULT_NONE;
    const packet_layers layers = parse_layers(frame, length);
    for (std::uint32_t i = 0; i < count_; ++i) {
        filter_entry& entry = entries_[i];
        const STATIC_FILTER& e = entry.record;
        if (e.adapter_handle != 0 && e.adapter_handle != adapter_handle)
            continue;
        if ((e.direction & direction) == 0)
            continue;
        if ((e.criteria & FILTER_CRITERIA_DATA_LINK) && !data_link_match(e, frame, length))
            continue;
        if ((e.criteria & FILTER_CRITERIA_NETWORK) && !network_match(e, frame, layers))
            continue;
        if ((e.criteria & FILTER_CRITERIA_TRANSPORT) && !transport_match(e, frame, length, layers))
            continue;
        if (direction & DIRECTION_INCOMING) {
            entry.incoming_packets.fetch_add(1, std::memory_order_relaxed);
            entry.incoming_bytes.fetch_add(length, std::memory_order_relaxed);
        } else {
            entry.outgoing_packets.fetch_add(1, std::memory_order_relaxed);
            entry.outgoing_bytes.fetch_add(length, std::memory_order_relaxed);
        }
        *matched_index = i;
        return e.action;
    }
    return FILTER_RESULT_NONE;
}

}  // namespace corvflt
