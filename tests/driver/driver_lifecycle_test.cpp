// Adapter lifecycle: MTU rules, StartupMode, OIDs (refused, forwarded, pass-through with
// pending completion), status indications (WAN, offloads) and pause draining.
#include <chrono>
#include <future>
#include <thread>

#include "driver/offload_records.h"
#include "driver/status_records.h"
#include "driver_test_support.h"

namespace corvflt::testing {
namespace {

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at)
{
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

ADAPTER_LIST adapter_list(driver_env& env)
{
    const reply r = env.ioctl(IOCTL_CORVFLT_GET_ADAPTER_LIST, {}, sizeof(ADAPTER_LIST));
    ADAPTER_LIST list;
    std::memcpy(&list, r.buffer.data(), sizeof(list));
    return list;
}

TEST(driver_lifecycle, mtu_rules)
{
    struct row {
        std::uint32_t decrement;
        std::uint32_t reported;
        std::uint32_t stack_sees;
        std::uint16_t listed;
    };
    const row rows[] = {{80, 1500, 1420, 1500}, {80, 9000, 1420, 1500}, {0, 9000, 1500, 1500},
                        {0, 1280, 1280, 1280}, {2000, 1500, 0, 1500}};
    for (const row& r : rows) {
        driver_env env({r.decrement, 0});
        adapter_context* a = env.attach("\\DEVICE\\{A}");
        std::uint32_t mtu = r.reported, lookahead = 0;
        env.d.pause(a);
        env.d.restart(a, &mtu, &lookahead);
        EXPECT_EQ(mtu, r.stack_sees) << r.reported << " - " << r.decrement;
        EXPECT_EQ(lookahead, 128u);
        EXPECT_EQ(adapter_list(env).mtus[0], r.listed);

        // A protocol's maximum frame size query gets the same treatment; total size caps at 1514.
        std::uint8_t answer[4];
        std::memcpy(answer, &r.reported, 4);
        env.host.adapter(a).oid_answer.assign(answer, answer + 4);
        std::uint32_t value = 0;
        oid_request q{OID_TYPE_QUERY, OID_GEN_MAXIMUM_FRAME_SIZE, reinterpret_cast<std::uint8_t*>(&value), 4};
        EXPECT_EQ(env.d.on_protocol_oid(a, &q), STATUS_SUCCESS);
        EXPECT_EQ(value, r.stack_sees);
        oid_request t{OID_TYPE_QUERY, OID_GEN_MAXIMUM_TOTAL_SIZE, reinterpret_cast<std::uint8_t*>(&value), 4};
        EXPECT_EQ(env.d.on_protocol_oid(a, &t), STATUS_SUCCESS);
        const std::uint32_t total = std::min<std::uint32_t>(r.reported, 1514);
        EXPECT_EQ(value, total > r.decrement ? total - r.decrement : 0);
    }
}

TEST(driver_lifecycle, startup_mode_applies_at_attach_and_last_close)
{
    driver_env env({0, MODE_TUNNEL_SEND | MODE_TUNNEL_RECV});
    adapter_context* a = env.attach("\\DEVICE\\{A}");
    EXPECT_EQ(env.receive(a, ipv4_frame()), frame_fate::consumed);
    EXPECT_EQ(env.send(a, ipv4_frame()), frame_fate::consumed);
    EXPECT_EQ(env.queue_size(a), 2u);
    env.set_mode(a, 0);
    EXPECT_EQ(env.receive(a, ipv4_frame()), frame_fate::pass);
    env.d.close_handle(driver_env::OPEN);
    env.open_handles = 0;
    EXPECT_EQ(a->mode.load(), 3u);
    EXPECT_EQ(env.queue_size(a), 0u);
}

TEST(driver_lifecycle, refused_and_forwarded_protocol_oids)
{
    driver_env env;
    const std::uint8_t mac[6] = {0x02, 1, 2, 3, 4, 5};
    adapter_context* a = env.attach("\\DEVICE\\{A}", NDIS_MEDIUM_802_3, mac);
    fake::fake_adapter& fa = env.host.adapter(a);
    const std::size_t oids_after_attach = fa.oids.size();
    std::uint8_t data[64] = {};
    for (std::uint32_t oid : {0x00010203u, 0x00010204u, 0x0001021Fu, 0x0002021Du, 0x0101010Au, 0xFC01020Bu,
                              0xFC01020Du, 0xFC01020Fu, 0xFC030201u}) {
        for (std::uint32_t type : {OID_TYPE_QUERY, OID_TYPE_SET}) {
            oid_request r{type, oid, data, sizeof(data)};
            r.bytes_done = 77;
            EXPECT_EQ(env.d.on_protocol_oid(a, &r), NDIS_STATUS_NOT_SUPPORTED) << std::hex << oid;
            EXPECT_EQ(r.bytes_done, 0u);
        }
    }
    EXPECT_EQ(fa.oids.size(), oids_after_attach);

    // A pended forward completes to the protocol; a current-address answer becomes the MAC,
    // a packet-filter set signals the filter-change event.
    const std::uint64_t ev = env.host.create_event();
    ASSERT_EQ(env.ioctl_record(IOCTL_CORVFLT_SET_FILTER_CHANGE_EVENT, ADAPTER_EVENT{a->handle(), ev}).status,
              STATUS_SUCCESS);
    fa.pend_oids = true;
    const std::uint8_t new_mac[6] = {0x02, 9, 9, 9, 9, 9};
    fa.oid_answer.assign(new_mac, new_mac + 6);
    oid_request q{OID_TYPE_QUERY, OID_802_3_CURRENT_ADDRESS, data, 6};
    EXPECT_EQ(env.d.on_protocol_oid(a, &q), STATUS_PENDING);
    oid_request s{OID_TYPE_SET, OID_GEN_CURRENT_PACKET_FILTER, data, 4};
    EXPECT_EQ(env.d.on_protocol_oid(a, &s), STATUS_PENDING);
    env.host.complete_pending_oids(env.d, a, STATUS_SUCCESS, 6);
    ASSERT_EQ(fa.protocol_completions.size(), 2u);
    EXPECT_EQ(fa.protocol_completions[0].second, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(adapter_list(env).mac_addresses[0], new_mac, 6), 0);
    EXPECT_EQ(env.host.event(ev).signals.load(), 1u);
}

std::vector<std::uint8_t> oid_record(std::uint64_t handle, std::uint32_t oid, std::uint32_t length,
                                     std::uint32_t total)
{
    std::vector<std::uint8_t> b(total, 0);
    std::memcpy(b.data(), &handle, 8);
    std::memcpy(b.data() + 8, &oid, 4);
    std::memcpy(b.data() + 12, &length, 4);
    return b;
}

TEST(driver_lifecycle, pass_through_oid_requests)
{
    driver_env env;
    adapter_context* a = env.attach("\\DEVICE\\{A}");
    fake::fake_adapter& fa = env.host.adapter(a);
    const std::size_t before = fa.oids.size();
    const std::uint64_t h = a->handle();
    // Output length different from input, L beyond the input, unknown adapter: nothing is sent.
    EXPECT_EQ(env.ioctl(IOCTL_CORVFLT_SET_OID, oid_record(h, 0x00010101, 4, 20), 24).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env.ioctl(IOCTL_CORVFLT_SET_OID, oid_record(h, 0x00010101, 5, 20), 20).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env.ioctl(IOCTL_CORVFLT_SET_OID, oid_record(h, 0x00010101, 0xFFFFFFF0u, 20), 20).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env.ioctl(IOCTL_CORVFLT_QUERY_OID, oid_record(h + 1, 0x00010101, 4, 20), 20).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(fa.oids.size(), before);

    // Out of memory for the internal request: a resource failure, not a malformed request,
    // and nothing reaches the adapter.
    env.host.fail_allocations = true;
    for (std::uint32_t code : {IOCTL_CORVFLT_SET_OID, IOCTL_CORVFLT_QUERY_OID}) {
        const reply failed = env.ioctl(code, oid_record(h, 0x00010101, 4, 20), 20);
        EXPECT_EQ(failed.status, STATUS_INSUFFICIENT_RESOURCES) << std::hex << code;
        EXPECT_EQ(failed.bytes, 0u) << std::hex << code;
    }
    env.host.fail_allocations = false;
    EXPECT_EQ(fa.oids.size(), before);

    // Completed at once.
    const std::uint8_t answer[4] = {1, 2, 3, 4};
    fa.oid_answer.assign(answer, answer + 4);
    reply r = env.ioctl(IOCTL_CORVFLT_QUERY_OID, oid_record(h, 0x00010101, 4, 20), 20);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 20u);
    EXPECT_EQ(r.buffer[16], 1);

    // Pending: completes later with the bytes NDIS moved in the length field; pause waits.
    fa.pend_oids = true;
    r = env.ioctl(IOCTL_CORVFLT_QUERY_OID, oid_record(h, 0x00010101, 4, 20), 20, driver_env::OPEN, 0xAA);
    EXPECT_EQ(r.status, STATUS_PENDING);
    auto paused = std::async(std::launch::async, [&] { env.d.pause(a); });
    EXPECT_EQ(paused.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_GE(fa.cancels, 1u);
    env.host.complete_pending_oids(env.d, a, STATUS_SUCCESS, 3);
    paused.get();
    fake::fake_host::completion c{};
    ASSERT_TRUE(env.host.completion_of(0xAA, &c));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.bytes, 20u);
    EXPECT_EQ(u32_at(r.buffer, 12), 3u);
    env.d.restart(a, nullptr, nullptr);
}

// A control request in flight holds the adapter: pause returns only after it finished.
TEST(driver_lifecycle, pause_waits_for_control_references)
{
    driver_env env;
    adapter_context* a = env.attach("\\DEVICE\\{A}");
    user_buffers bufs(env.host, 1);
    bufs.fill(0, ipv4_frame());
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    env.host.read_hook = [&] {
        if (first.exchange(false)) {
            entered.set_value();
            released.wait();
        }
    };
    auto request = std::async(std::launch::async, [&] {
        return env.ioctl_record(IOCTL_CORVFLT_SEND_TO_ADAPTER, PACKET_REQUEST{a->handle(), bufs.address(0)}).status;
    });
    entered.get_future().wait();
    auto paused = std::async(std::launch::async, [&] { env.d.pause(a); });
    EXPECT_EQ(paused.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
    EXPECT_EQ(a->state.load(), FILTER_PAUSING);
    // New requests are refused while pausing.
    EXPECT_EQ(env.set_mode(a, 3), STATUS_INVALID_PARAMETER);
    release.set_value();
    EXPECT_EQ(request.get(), STATUS_SUCCESS);
    paused.get();
    EXPECT_EQ(a->state.load(), FILTER_PAUSED);
    EXPECT_EQ(env.host.adapter(a).sent.size(), 1u);
    env.host.read_hook = nullptr;
}

std::vector<std::uint8_t> line_up(std::uint8_t remote_last, std::uint8_t local_last, std::uint32_t total)
{
    std::vector<std::uint8_t> b(WAN_LINE_UP_PROTOCOL_BUFFER + 600, 0);
    const std::uint32_t speed = 1000;
    std::memcpy(&b[WAN_LINE_UP_LINK_SPEED], &speed, 4);
    std::memcpy(&b[WAN_LINE_UP_MAXIMUM_TOTAL_SIZE], &total, 4);
    b[WAN_LINE_UP_REMOTE_ADDRESS + 5] = remote_last;
    b[WAN_LINE_UP_LOCAL_ADDRESS] = 0x20;
    b[WAN_LINE_UP_LOCAL_ADDRESS + 5] = local_last;
    const std::uint32_t claimed = 100000;  // claims more than the indication holds
    std::memcpy(&b[WAN_LINE_UP_PROTOCOL_BUFFER_LENGTH], &claimed, 4);
    b[WAN_LINE_UP_PROTOCOL_BUFFER + WAN_PROTOCOL_IPV4_OFFSET] = 192;
    return b;
}

TEST(driver_lifecycle, wan_lines_maintain_links_and_signal)
{
    driver_env env({40, 0});
    adapter_context* a = env.attach("\\DEVICE\\NDISWANIP", NDIS_MEDIUM_WAN);
    const std::uint64_t ev = env.host.create_event();
    ASSERT_EQ(env.ioctl(IOCTL_CORVFLT_SET_WAN_EVENT, to_bytes(&ev, 8), 0).status, STATUS_SUCCESS);
    std::vector<std::uint8_t> up1 = line_up(1, 1, 1500), up2 = line_up(2, 2, 1500), dup = line_up(3, 1, 1500);
    env.d.on_status(a, STATUS_INDICATION_WAN_LINE_UP, up1.data(), static_cast<std::uint32_t>(up1.size()));
    env.d.on_status(a, STATUS_INDICATION_WAN_LINE_UP, up2.data(), static_cast<std::uint32_t>(up2.size()));
    env.d.on_status(a, STATUS_INDICATION_WAN_LINE_UP, dup.data(), static_cast<std::uint32_t>(dup.size()));
    EXPECT_EQ(env.host.event(ev).signals.load(), 3u);
    fake::fake_adapter& fa = env.host.adapter(a);
    ASSERT_EQ(fa.statuses.size(), 3u);
    EXPECT_EQ(u32_at(fa.statuses[0].buffer, WAN_LINE_UP_MAXIMUM_TOTAL_SIZE), 1460u);
    EXPECT_EQ(adapter_list(env).mac_addresses[0][5], 1);  // local address of the latest line... kept by dup

    const std::uint64_t h = a->handle();
    reply r = env.ioctl(IOCTL_CORVFLT_GET_WAN_LINKS, to_bytes(&h, 8), sizeof(WAN_LINKS));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto links = std::make_unique<WAN_LINKS>();
    std::memcpy(links.get(), r.buffer.data(), sizeof(WAN_LINKS));
    ASSERT_EQ(links->count, 2u);  // the third shares the last four local-address bytes
    EXPECT_EQ(links->links[0].remote_address[5], 1);
    EXPECT_EQ(links->links[1].remote_address[5], 2);
    EXPECT_EQ(+links->links[0].maximum_total_size, 1460u);
    EXPECT_EQ(links->links[0].protocol_buffer[WAN_PROTOCOL_IPV4_OFFSET], 192);

    std::vector<std::uint8_t> down(WAN_LINE_DOWN_MIN_SIZE, 0);
    down[WAN_LINE_DOWN_REMOTE_ADDRESS + 5] = 1;
    down[WAN_LINE_DOWN_LOCAL_ADDRESS] = 0x20;
    down[WAN_LINE_DOWN_LOCAL_ADDRESS + 5] = 1;
    env.d.on_status(a, STATUS_INDICATION_WAN_LINE_DOWN, down.data(), static_cast<std::uint32_t>(down.size()));
    EXPECT_EQ(env.host.event(ev).signals.load(), 4u);
    r = env.ioctl(IOCTL_CORVFLT_GET_WAN_LINKS, to_bytes(&h, 8), sizeof(WAN_LINKS));
    std::memcpy(links.get(), r.buffer.data(), sizeof(WAN_LINKS));
    ASSERT_EQ(links->count, 1u);
    EXPECT_EQ(links->links[0].remote_address[5], 2);
    EXPECT_EQ(adapter_list(env).mac_addresses[0][5], 0);
    // Truncated indications are passed on but change nothing.
    env.d.on_status(a, STATUS_INDICATION_WAN_LINE_UP, up1.data(), WAN_LINE_UP_MIN_SIZE - 1);
    EXPECT_EQ(env.host.event(ev).signals.load(), 4u);
}

TEST(driver_lifecycle, offloads_are_hidden)
{
    driver_env env;
    std::vector<std::uint8_t> config(OFFLOAD_CONFIG_SIZE, 0);
    config[OFFLOAD_CONFIG_REVISION] = 3;
    config[OFFLOAD_IPV4_CHECKSUM_RX.offset] = 1;
    config[OFFLOAD_LSO_V2_IPV6.offset + 3] = 1;
    config[OFFLOAD_RSC_IPV4.offset] = 1;
    config[OFFLOAD_ENCAPSULATED.offset] = 1;
    fake::fake_adapter fa;
    adapter_description desc;
    desc.host_adapter = &fa;
    desc.offload_configuration = config.data();
    desc.offload_configuration_length = static_cast<std::uint32_t>(config.size());
    ntstatus status;
    adapter_context* a = env.d.attach(desc, &status);
    ASSERT_NE(a, nullptr);
    for (std::size_t i = 4; i < config.size(); ++i)
        ASSERT_EQ(config[i], 0) << i;
    ASSERT_EQ(fa.oids.size(), 1u);
    const std::vector<std::uint8_t>& p = fa.oids[0].data;
    EXPECT_EQ(fa.oids[0].oid, OID_TCP_OFFLOAD_PARAMETERS);
    ASSERT_EQ(p.size(), 28u);
    EXPECT_EQ(p[0], 0x80);
    EXPECT_EQ(p[PARAM_IPV4_CHECKSUM], 1);
    EXPECT_EQ(p[PARAM_UDP_IPV4_CHECKSUM], 1);
    EXPECT_EQ(p[PARAM_TCP_IPV6_CHECKSUM], 0);
    EXPECT_EQ(p[PARAM_LSO_V2_IPV6], 1);
    EXPECT_EQ(p[PARAM_RSC_IPV4], 1);
    EXPECT_EQ(p[PARAM_ENCAPSULATED], 2);

    // An indicated configuration goes up edited and once more after the next restart, which
    // also resends the parameters.
    std::vector<std::uint8_t> indication(OFFLOAD_CONFIG_MIN_INDICATION, 0);
    indication[OFFLOAD_CONFIG_REVISION] = 1;
    indication[OFFLOAD_IPV6_CHECKSUM_TX.offset] = 1;
    env.d.on_status(a, STATUS_INDICATION_OFFLOAD_CURRENT_CONFIG, indication.data(),
                    static_cast<std::uint32_t>(indication.size()));
    ASSERT_EQ(fa.statuses.size(), 1u);
    EXPECT_EQ(fa.statuses[0].buffer[OFFLOAD_IPV6_CHECKSUM_TX.offset], 0);
    env.d.restart(a, nullptr, nullptr);
    EXPECT_EQ(fa.statuses.size(), 2u);
    EXPECT_EQ(fa.oids.size(), 2u);
    env.d.pause(a);
    env.d.restart(a, nullptr, nullptr);
    EXPECT_EQ(fa.statuses.size(), 2u);

    // A coalesced 3000-byte frame passes untouched and switches coalescing off again.
    env.set_mode(a, MODE_TUNNEL_RECV);
    std::vector<std::uint8_t> big(3000, 0x11);
    frame_view v{big.data(), 3000, 0, 0, false};
    frame_fate fate;
    env.d.on_wire_receive(a, &v, 1, &fate);
    EXPECT_EQ(fate, frame_fate::pass);
    EXPECT_EQ(env.queue_size(a), 0u);
    EXPECT_EQ(fa.oids.back().data[PARAM_RSC_IPV6], 1);
    // Oversized frames on the send path cannot be captured whole and are dropped.
    env.set_mode(a, MODE_TUNNEL_SEND);
    env.d.on_stack_send(a, &v, 1, &fate);
    EXPECT_EQ(fate, frame_fate::consumed);

    std::vector<std::uint8_t> encapsulation(ENCAPSULATION_MIN_SIZE, 0);
    encapsulation[ENCAPSULATION_IPV4] = 1;
    env.d.on_status(a, STATUS_INDICATION_OFFLOAD_ENCAPSULATION_CHANGE, encapsulation.data(), ENCAPSULATION_MIN_SIZE);
    EXPECT_EQ(u32_at(fa.statuses.back().buffer, ENCAPSULATION_IPV4), ENCAPSULATION_OFF);
    EXPECT_EQ(u32_at(fa.statuses.back().buffer, ENCAPSULATION_IPV6), ENCAPSULATION_OFF);
    env.d.pause(a);
    env.d.detach(a);
}

}  // namespace
}  // namespace corvflt::testing
