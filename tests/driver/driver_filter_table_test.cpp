// Static filter table: matching rules, counters, matched index, start time, and the
// table's control requests -- on every host.
#include "driver_host_env.h"

#include <atomic>
#include <thread>

namespace corvflt::testing {
namespace {

using driver_filter_table = on_each_host;

STATIC_FILTER entry(std::uint32_t direction, std::uint32_t action)
{
    STATIC_FILTER e;
    std::memset(&e, 0, sizeof(e));
    e.direction = direction;
    e.action = action;
    return e;
}

std::vector<std::uint8_t> table_of(const std::vector<STATIC_FILTER>& entries)
{
    std::vector<std::uint8_t> t(filter_table_size(static_cast<std::uint32_t>(entries.size())));
    const std::uint32_t n = static_cast<std::uint32_t>(entries.size());
    std::memcpy(t.data(), &n, 4);
    for (std::size_t i = 0; i < entries.size(); ++i)
        std::memcpy(t.data() + 4 + 181 * i, &entries[i], 181);
    return t;
}

STATIC_FILTER ipv4_range_dest(std::uint8_t const (&low)[4], std::uint8_t const (&high)[4])
{
    STATIC_FILTER e = entry(DIRECTION_INCOMING, FILTER_ACTION_DROP);
    e.criteria = FILTER_CRITERIA_NETWORK;
    e.network_kind = FILTER_NETWORK_IPV4;
    e.network_fields = FILTER_IP_DEST;
    e.ipv4.dest_kind = FILTER_ADDRESS_RANGE;
    std::memcpy(e.ipv4.dest, low, 4);
    std::memcpy(e.ipv4.dest + 4, high, 4);
    return e;
}

// One adapter in tunnel mode on the host under test.
struct table_env {
    explicit table_env(host_kind kind) : owned(make_host_env(kind)), a(owned->attach("\\DEVICE\\{A}"))
    {
        owned->set_mode(a, MODE_TUNNEL_SEND | MODE_TUNNEL_RECV);
    }
    host_env* operator->() { return owned.get(); }
    ntstatus install(const std::vector<STATIC_FILTER>& entries)
    {
        return owned->ioctl(IOCTL_CORVFLT_SET_FILTER_TABLE, table_of(entries), 0).status;
    }
    std::vector<STATIC_FILTER> read_back(bool reset = false)
    {
        const reply r = owned->ioctl(reset ? IOCTL_CORVFLT_GET_FILTER_TABLE_RESET_STATS : IOCTL_CORVFLT_GET_FILTER_TABLE,
                              {}, 4 + 181 * 8);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        std::uint32_t n;
        std::memcpy(&n, r.buffer.data(), 4);
        std::vector<STATIC_FILTER> out(n);
        for (std::uint32_t i = 0; i < n; ++i)
            std::memcpy(&out[i], r.buffer.data() + 4 + 181 * i, 181);
        return out;
    }
    std::unique_ptr<host_env> owned;
    adapter_context* a;
};

// Ranges compare per octet: 10.0.5.255 has a last octet above 254.
TEST_P(driver_filter_table, ipv4_range_is_per_octet)
{
    table_env env(GetParam());
    env->set_clock(1000);
    ASSERT_EQ(env.install({ipv4_range_dest({10, 0, 0, 1}, {10, 0, 255, 254})}), STATUS_SUCCESS);
    struct row {
        std::uint8_t dst[4];
        frame_fate fate;
    };
    const row rows[] = {
        {{10, 0, 5, 7}, frame_fate::consumed},
        {{10, 0, 5, 255}, frame_fate::consumed},  // not matched: diverted by the mode
        {{10, 1, 0, 1}, frame_fate::consumed},
    };
    for (const row& r : rows) {
        ipv4_spec s;
        std::memcpy(s.dst, r.dst, 4);
        EXPECT_EQ(env->receive(env.a, ipv4_frame(s)), r.fate);
    }
    // Only 10.0.5.7 matched the drop entry; the other two were queued by the tunnel mode.
    EXPECT_EQ(env->queue_size(env.a), 2u);
    const std::vector<STATIC_FILTER> t = env.read_back();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(+t[0].incoming_packets, 1u);
    EXPECT_EQ(+t[0].incoming_bytes, ipv4_frame().size());
    EXPECT_EQ(+t[0].outgoing_packets, 0u);
    EXPECT_EQ(+t[0].start_time, 1000u);
}

TEST_P(driver_filter_table, criteria_and_direction)
{
    struct row {
        const char* what;
        STATIC_FILTER filter;
        std::vector<std::uint8_t> frame;
        bool outgoing;
        bool matches;
    };
    ipv4_spec tcp;
    tcp.protocol = 6;
    tcp.dst_port = 443;
    tcp.tcp_flags = 0x12;
    ipv4_spec icmp;
    icmp.protocol = 1;
    icmp.icmp_type = 8;

    STATIC_FILTER ports = entry(DIRECTION_INCOMING | DIRECTION_OUTGOING, FILTER_ACTION_PASS);
    ports.criteria = FILTER_CRITERIA_TRANSPORT;
    ports.transport_kind = FILTER_TRANSPORT_PORTS;
    ports.transport_fields = FILTER_TRANSPORT_DEST | FILTER_TRANSPORT_TCP_FLAGS;
    ports.ports.dest_first = 400;
    ports.ports.dest_last = 500;
    ports.ports.tcp_flags = 0x12;
    STATIC_FILTER wrong_flags = ports;
    wrong_flags.ports.tcp_flags = 0x02;
    STATIC_FILTER icmp_echo = entry(DIRECTION_INCOMING, FILTER_ACTION_PASS);
    icmp_echo.criteria = FILTER_CRITERIA_TRANSPORT;
    icmp_echo.transport_kind = FILTER_TRANSPORT_ICMP;
    icmp_echo.icmp = {8, 8, 0, 0};
    STATIC_FILTER v6 = entry(DIRECTION_INCOMING, FILTER_ACTION_PASS);
    v6.criteria = FILTER_CRITERIA_NETWORK | FILTER_CRITERIA_TRANSPORT;
    v6.network_kind = FILTER_NETWORK_IPV6;
    v6.network_fields = FILTER_IP_SOURCE | FILTER_IP_PROTOCOL;
    v6.ipv6.source_kind = FILTER_ADDRESS_RANGE;
    v6.ipv6.source[0] = 0xFD;
    v6.ipv6.source[15] = 1;
    v6.ipv6.source[16] = 0xFD;
    v6.ipv6.source[31] = 9;
    v6.ipv6.protocol = 17;
    v6.transport_kind = FILTER_TRANSPORT_PORTS;
    v6.transport_fields = FILTER_TRANSPORT_DEST;
    v6.ports.dest_first = v6.ports.dest_last = 53;
    STATIC_FILTER eth = entry(DIRECTION_OUTGOING, FILTER_ACTION_PASS);
    eth.criteria = FILTER_CRITERIA_DATA_LINK;
    eth.data_link_kind = FILTER_DATA_LINK_ETHERNET;
    eth.ethernet_fields = FILTER_ETH_ETHERTYPE | FILTER_ETH_DEST_MAC;
    eth.ethertype = 0x0800;
    std::memcpy(eth.dest_mac, ipv4_spec{}.dst_mac, 6);
    STATIC_FILTER subnet = entry(DIRECTION_INCOMING, FILTER_ACTION_PASS);
    subnet.criteria = FILTER_CRITERIA_NETWORK;
    subnet.network_kind = FILTER_NETWORK_IPV4;
    subnet.network_fields = FILTER_IP_SOURCE;
    subnet.ipv4.source_kind = FILTER_ADDRESS_SUBNET;
    const std::uint8_t net[8] = {10, 0, 0, 0, 255, 255, 255, 0};
    std::memcpy(subnet.ipv4.source, net, 8);

    const std::vector<std::uint8_t> full = ipv4_frame();
    const std::vector<std::uint8_t> truncated(full.begin(), full.begin() + 20);
    const row rows[] = {
        {"tcp ports and flags", ports, ipv4_frame(tcp), false, true},
        {"tcp flags differ", wrong_flags, ipv4_frame(tcp), false, false},
        {"udp has no tcp flags to compare", ports, ipv4_frame(), false, false},
        {"icmp echo", icmp_echo, ipv4_frame(icmp), false, true},
        {"icmp entry, outgoing packet", icmp_echo, ipv4_frame(icmp), true, false},
        {"ipv6 behind extension headers", v6, ipv6_frame(5, 17), false, true},
        {"ipv6 source outside range", v6, ipv6_frame(10, 17), false, false},
        {"ipv6 entry, ipv4 packet", v6, ipv4_frame(), false, false},
        {"ethernet type and destination", eth, ipv4_frame(), true, true},
        {"ethernet entry, wrong direction", eth, ipv4_frame(), false, false},
        {"ipv4 subnet", subnet, ipv4_frame(), false, true},
        {"ipv4 subnet, truncated header", subnet, truncated, false, false},
    };
    for (const row& r : rows) {
        table_env env(GetParam());
        // The first entry never applies (adapter handle 1), the second is under test.
        STATIC_FILTER elsewhere = r.filter;
        elsewhere.adapter_handle = 1;
        elsewhere.action = FILTER_ACTION_DROP;
        ASSERT_EQ(env.install({elsewhere, r.filter}), STATUS_SUCCESS);
        const frame_fate fate = r.outgoing ? env->send(env.a, r.frame) : env->receive(env.a, r.frame);
        // A matching pass entry lets the packet through; otherwise tunnel mode diverts it.
        EXPECT_EQ(fate, r.matches ? frame_fate::pass : frame_fate::consumed) << r.what;
        const std::vector<STATIC_FILTER> t = env.read_back();
        ASSERT_EQ(t.size(), 2u);
        const std::uint64_t counted = r.outgoing ? t[1].outgoing_packets : t[1].incoming_packets;
        EXPECT_EQ(counted, r.matches ? 1u : 0u) << r.what;
        EXPECT_EQ(+t[0].incoming_packets + t[0].outgoing_packets, 0u) << r.what;
    }
}

// The matched index is recorded on the packet; an entry with action 3 leaves the decision
// to the mode but still counts.
TEST_P(driver_filter_table, matched_index_with_mode_decision)
{
    table_env env(GetParam());
    STATIC_FILTER drop_tcp = entry(DIRECTION_INCOMING, FILTER_ACTION_DROP);
    drop_tcp.criteria = FILTER_CRITERIA_NETWORK;
    drop_tcp.network_kind = FILTER_NETWORK_IPV4;
    drop_tcp.network_fields = FILTER_IP_PROTOCOL;
    drop_tcp.ipv4.protocol = 6;
    ASSERT_EQ(env.install({drop_tcp, entry(DIRECTION_INCOMING, FILTER_ACTION_REDIRECT)}), STATUS_SUCCESS);
    EXPECT_EQ(env->receive(env.a, ipv4_frame()), frame_fate::consumed);
    ASSERT_EQ(env->queue_size(env.a), 1u);
    caller_buffers b(*env.owned, 1);
    ASSERT_EQ(env->ioctl_record(IOCTL_CORVFLT_READ_PACKET, PACKET_REQUEST{env.a->handle(), b.address(0)}, 16).status,
              STATUS_SUCCESS);
    EXPECT_EQ(+b.records[0].filter_index, 1u);
    EXPECT_EQ(+env.read_back()[1].incoming_packets, 1u);
    // Without a match the index stays at its "none" value.
    env->ioctl(IOCTL_CORVFLT_RESET_FILTER_TABLE, {}, 0);
    env->receive(env.a, ipv4_frame());
    env->ioctl_record(IOCTL_CORVFLT_READ_PACKET, PACKET_REQUEST{env.a->handle(), b.address(0)}, 16);
    EXPECT_EQ(+b.records[0].filter_index, 0xFFFFFFFFu);
}

TEST_P(driver_filter_table, table_requests_and_statistics_reset)
{
    table_env env(GetParam());
    env->set_clock(5000);
    // N >= 1 and the input must hold all N entries; the count may not overflow.
    std::vector<std::uint8_t> t = table_of({entry(3, FILTER_ACTION_DROP), entry(3, FILTER_ACTION_DROP)});
    for (std::uint32_t bad : {0u, 3u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        std::vector<std::uint8_t> copy = t;
        std::memcpy(copy.data(), &bad, 4);
        EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_SET_FILTER_TABLE, copy, 0).status, STATUS_INVALID_PARAMETER) << bad;
    }
    ASSERT_EQ(env->ioctl(IOCTL_CORVFLT_SET_FILTER_TABLE, t, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(env->receive(env.a, ipv4_frame()), frame_fate::consumed);
    EXPECT_EQ(env->queue_size(env.a), 0u);  // dropped, not queued

    // Output too small for two entries fails; size reports 2.
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_GET_FILTER_TABLE, {}, 4 + 181).status, STATUS_INVALID_PARAMETER);
    reply r = env->ioctl(IOCTL_CORVFLT_GET_FILTER_TABLE_SIZE, {}, 4);
    std::uint32_t n;
    std::memcpy(&n, r.buffer.data(), 4);
    EXPECT_EQ(n, 2u);

    env->set_clock(6000);
    std::vector<STATIC_FILTER> before = env.read_back(true);
    EXPECT_EQ(+before[0].incoming_packets, 1u);
    EXPECT_EQ(+before[0].start_time, 5000u);
    std::vector<STATIC_FILTER> after = env.read_back();
    EXPECT_EQ(+after[0].incoming_packets, 0u);
    EXPECT_EQ(+after[0].start_time, 6000u);

    // A failed replacement leaves no table at all.
    env->fail_allocations(true);
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_SET_FILTER_TABLE, t, 0).status, STATUS_INVALID_PARAMETER);
    env->fail_allocations(false);
    r = env->ioctl(IOCTL_CORVFLT_GET_FILTER_TABLE_SIZE, {}, 4);
    std::memcpy(&n, r.buffer.data(), 4);
    EXPECT_EQ(n, 0u);
}

// Concurrent replacements and resets each take effect whole: afterwards the table is one
// of the tables installed (or none) and every table replaced was freed.
TEST_P(driver_filter_table, concurrent_sets_and_resets_leak_nothing)
{
    table_env env(GetParam());
    const std::int64_t baseline = env->live_allocations();
    const std::vector<std::uint8_t> two = table_of({entry(3, FILTER_ACTION_DROP), entry(3, FILTER_ACTION_DROP)});
    const std::vector<std::uint8_t> three =
        table_of({entry(3, FILTER_ACTION_PASS), entry(3, FILTER_ACTION_PASS), entry(3, FILTER_ACTION_PASS)});
    std::atomic<bool> go{false};
    const auto hammer = [&](int which) {
        while (!go.load())
            std::this_thread::yield();
        for (int i = 0; i < 3000; ++i) {
            if (which == 2 && i % 4 == 0)
                env->ioctl(IOCTL_CORVFLT_RESET_FILTER_TABLE, {}, 0);
            else
                env->ioctl(IOCTL_CORVFLT_SET_FILTER_TABLE, which == 1 ? two : three, 0);
        }
    };
    std::thread t1(hammer, 1), t2(hammer, 2), t3(hammer, 1);
    go = true;
    t1.join();
    t2.join();
    t3.join();
    std::uint32_t n = 0;
    const reply r = env->ioctl(IOCTL_CORVFLT_GET_FILTER_TABLE_SIZE, {}, 4);
    std::memcpy(&n, r.buffer.data(), 4);
    EXPECT_TRUE(n == 2 || n == 3) << n;
    EXPECT_EQ(env->live_allocations(), baseline + 1);
    env->ioctl(IOCTL_CORVFLT_RESET_FILTER_TABLE, {}, 0);
    EXPECT_EQ(env->live_allocations(), baseline);
}

// The header walk alone, without a driver: nothing here depends on a host.
TEST(driver_layer_parsing, header_walk_bounds)
{
    // IPv6 with an extension chain that claims more than the frame holds: no transport.
    std::vector<std::uint8_t> f = ipv6_frame(5, 6);
    f[14 + 40 + 8 + 1] = 200;  // destination options length far past the end
    packet_layers l = parse_layers(f.data(), static_cast<std::uint32_t>(f.size()));
    EXPECT_EQ(l.transport_offset, 0u);
    f = ipv6_frame(5, 6);
    l = parse_layers(f.data(), static_cast<std::uint32_t>(f.size()));
    EXPECT_EQ(l.protocol, 6);
    EXPECT_EQ(l.transport_offset, 14u + 40 + 8 + 16);
    // IPv4 header length below 20 is not IPv4 at all.
    f = ipv4_frame();
    f[14] = 0x44;
    l = parse_layers(f.data(), static_cast<std::uint32_t>(f.size()));
    EXPECT_EQ(l.network_offset, 0u);
}

INSTANTIATE_ON_EACH_HOST(driver_filter_table);

}  // namespace
}  // namespace corvflt::testing
