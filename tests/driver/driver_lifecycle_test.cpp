// Adapter lifecycle: MTU rules, StartupMode, OIDs (refused, forwarded, pass-through with
// pending completion), status indications (WAN, offloads) and pause draining. Most run on
// every host; the status indications are fed to the fake host's core directly.
#include <array>
#include <chrono>
#include <future>
#include <thread>

#include "driver/offload_records.h"
#include "driver/status_records.h"
#include "driver_host_env.h"

namespace corvflt::testing {
namespace {

using driver_lifecycle = on_each_host;

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at)
{
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

template <class Env>
ADAPTER_LIST adapter_list(Env& env)
{
    const reply r = env.ioctl(IOCTL_CORVFLT_GET_ADAPTER_LIST, {}, sizeof(ADAPTER_LIST));
    ADAPTER_LIST list;
    std::memcpy(&list, r.buffer.data(), sizeof(list));
    return list;
}

TEST_P(driver_lifecycle, mtu_rules)
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
        auto env = make({r.decrement, 0});
        adapter_context* a = env->attach("\\DEVICE\\{A}");
        std::uint32_t mtu = r.reported, lookahead = 0;
        env->pause(a);
        env->restart(a, r.reported, &mtu, &lookahead);
        EXPECT_EQ(mtu, r.stack_sees) << r.reported << " - " << r.decrement;
        EXPECT_EQ(lookahead, 128u);
        EXPECT_EQ(adapter_list(*env).mtus[0], r.listed);

        // A protocol's maximum frame size query gets the same treatment; total size caps at 1514.
        env->set_oid_answer(a, to_bytes(&r.reported, 4));
        std::uint32_t value = 0, done = 0;
        auto* data = reinterpret_cast<std::uint8_t*>(&value);
        EXPECT_EQ(env->protocol_oid(a, OID_TYPE_QUERY, OID_GEN_MAXIMUM_FRAME_SIZE, data, 4, &done), STATUS_SUCCESS);
        EXPECT_EQ(value, r.stack_sees);
        EXPECT_EQ(env->protocol_oid(a, OID_TYPE_QUERY, OID_GEN_MAXIMUM_TOTAL_SIZE, data, 4, &done), STATUS_SUCCESS);
        const std::uint32_t total = std::min<std::uint32_t>(r.reported, 1514);
        EXPECT_EQ(value, total > r.decrement ? total - r.decrement : 0);
    }
}

TEST_P(driver_lifecycle, startup_mode_applies_at_attach_and_last_close)
{
    auto env = make({0, MODE_TUNNEL_SEND | MODE_TUNNEL_RECV});
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    EXPECT_EQ(env->receive(a, ipv4_frame()), frame_fate::consumed);
    EXPECT_EQ(env->send(a, ipv4_frame()), frame_fate::consumed);
    EXPECT_EQ(env->queue_size(a), 2u);
    env->set_mode(a, 0);
    EXPECT_EQ(env->receive(a, ipv4_frame()), frame_fate::pass);
    env->close();
    EXPECT_EQ(a->mode.load(), 3u);
    EXPECT_EQ(env->queue_size(a), 0u);
}

TEST_P(driver_lifecycle, refused_and_forwarded_protocol_oids)
{
    auto env = make();
    const std::uint8_t mac[6] = {0x02, 1, 2, 3, 4, 5};
    adapter_context* a = env->attach("\\DEVICE\\{A}", NDIS_MEDIUM_802_3, mac);
    const std::size_t oids_after_attach = env->oids_down(a).size();
    std::uint8_t data[64] = {};
    for (std::uint32_t oid : {0x00010203u, 0x00010204u, 0x0001021Fu, 0x0002021Du, 0x0101010Au, 0xFC01020Bu,
                              0xFC01020Du, 0xFC01020Fu, 0xFC030201u}) {
        for (std::uint32_t type : {OID_TYPE_QUERY, OID_TYPE_SET}) {
            std::uint32_t done = 77;
            EXPECT_EQ(env->protocol_oid(a, type, oid, data, sizeof(data), &done), NDIS_STATUS_NOT_SUPPORTED)
                << std::hex << oid;
            EXPECT_EQ(done, 0u);
        }
    }
    EXPECT_EQ(env->oids_down(a).size(), oids_after_attach);

    // A pended forward completes to the protocol; a current-address answer becomes the MAC,
    // a packet-filter set signals the filter-change event.
    const std::uint64_t ev = env->create_event();
    ASSERT_EQ(env->ioctl_record(IOCTL_CORVFLT_SET_FILTER_CHANGE_EVENT, ADAPTER_EVENT{a->handle(), ev}).status,
              STATUS_SUCCESS);
    env->set_pend_oids(a, true);
    const std::uint8_t new_mac[6] = {0x02, 9, 9, 9, 9, 9};
    env->set_oid_answer(a, to_bytes(new_mac, 6));
    std::uint8_t filter[4] = {};
    std::uint32_t done = 0;
    EXPECT_EQ(env->protocol_oid(a, OID_TYPE_QUERY, OID_802_3_CURRENT_ADDRESS, data, 6, &done), STATUS_PENDING);
    EXPECT_EQ(env->protocol_oid(a, OID_TYPE_SET, OID_GEN_CURRENT_PACKET_FILTER, filter, 4, &done), STATUS_PENDING);
    env->complete_pending_oids(a, STATUS_SUCCESS, 6);
    const std::vector<ntstatus> completions = env->protocol_completions(a);
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[0], STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(adapter_list(*env).mac_addresses[0], new_mac, 6), 0);
    EXPECT_EQ(env->signals(ev), 1u);
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

TEST_P(driver_lifecycle, pass_through_oid_requests)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    const std::size_t before = env->oids_down(a).size();
    const std::uint64_t h = a->handle();
    // Output length different from input, L beyond the input, unknown adapter: nothing is sent.
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_SET_OID, oid_record(h, 0x00010101, 4, 20), 24).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_SET_OID, oid_record(h, 0x00010101, 5, 20), 20).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_SET_OID, oid_record(h, 0x00010101, 0xFFFFFFF0u, 20), 20).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_QUERY_OID, oid_record(h + 1, 0x00010101, 4, 20), 20).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env->oids_down(a).size(), before);

    // Out of memory for the internal request: a resource failure, not a malformed request,
    // and nothing reaches the adapter.
    env->fail_allocations(true);
    for (std::uint32_t code : {IOCTL_CORVFLT_SET_OID, IOCTL_CORVFLT_QUERY_OID}) {
        const reply failed = env->ioctl(code, oid_record(h, 0x00010101, 4, 20), 20);
        EXPECT_EQ(failed.status, STATUS_INSUFFICIENT_RESOURCES) << std::hex << code;
        EXPECT_EQ(failed.bytes, 0u) << std::hex << code;
    }
    env->fail_allocations(false);
    EXPECT_EQ(env->oids_down(a).size(), before);

    // Completed at once.
    const std::uint8_t answer[4] = {1, 2, 3, 4};
    env->set_oid_answer(a, to_bytes(answer, 4));
    reply r = env->ioctl(IOCTL_CORVFLT_QUERY_OID, oid_record(h, 0x00010101, 4, 20), 20);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 20u);
    EXPECT_EQ(r.buffer[16], 1);

    // Pending: completes later with the bytes NDIS moved in the length field; pause waits.
    env->set_pend_oids(a, true);
    r = env->ioctl(IOCTL_CORVFLT_QUERY_OID, oid_record(h, 0x00010101, 4, 20), 20);
    EXPECT_EQ(r.status, STATUS_PENDING);
    reply c;
    EXPECT_FALSE(env->completion(&c));
    auto paused = std::async(std::launch::async, [&] { env->pause(a); });
    EXPECT_EQ(paused.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_GE(env->cancels(a), 1u);
    env->complete_pending_oids(a, STATUS_SUCCESS, 3);
    paused.get();
    ASSERT_TRUE(env->completion(&c));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.bytes, 20u);
    EXPECT_EQ(u32_at(c.buffer, 12), 3u);
    env->restart(a);
}

// A control request in flight holds the adapter: pause returns only after it finished.
TEST_P(driver_lifecycle, pause_waits_for_control_references)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    caller_buffers bufs(*env, 1);
    bufs.fill(0, ipv4_frame());
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    env->set_user_read_hook([&] {
        if (first.exchange(false)) {
            entered.set_value();
            released.wait();
        }
    });
    auto request = std::async(std::launch::async, [&] {
        return env->ioctl_record(IOCTL_CORVFLT_SEND_TO_ADAPTER, PACKET_REQUEST{a->handle(), bufs.address(0)}).status;
    });
    entered.get_future().wait();
    auto paused = std::async(std::launch::async, [&] { env->pause(a); });
    EXPECT_EQ(paused.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
    EXPECT_EQ(a->state.load(), FILTER_PAUSING);
    // New requests are refused while pausing.
    EXPECT_EQ(env->set_mode(a, 3), STATUS_INVALID_PARAMETER);
    release.set_value();
    EXPECT_EQ(request.get(), STATUS_SUCCESS);
    paused.get();
    EXPECT_EQ(a->state.load(), FILTER_PAUSED);
    EXPECT_EQ(env->sent(a).size(), 1u);
    env->set_user_read_hook(nullptr);
}

std::unique_ptr<WAN_LINKS> wan_links(host_env& env, adapter_context* a)
{
    const std::uint64_t h = a->handle();
    const reply r = env.ioctl(IOCTL_CORVFLT_GET_WAN_LINKS, to_bytes(&h, 8), sizeof(WAN_LINKS));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto links = std::make_unique<WAN_LINKS>();
    std::memcpy(links.get(), r.buffer.data(), sizeof(WAN_LINKS));
    return links;
}

TEST_P(driver_lifecycle, wan_lines_maintain_links_and_signal)
{
    auto env = make({40, 0});
    adapter_context* a = env->attach("\\DEVICE\\NDISWANIP", NDIS_MEDIUM_WAN);
    const std::uint64_t ev = env->create_event();
    ASSERT_EQ(env->ioctl(IOCTL_CORVFLT_SET_WAN_EVENT, to_bytes(&ev, 8), 0).status, STATUS_SUCCESS);
    std::vector<std::uint8_t> protocol(600, 0);
    protocol[WAN_PROTOCOL_IPV4_OFFSET] = 192;
    const auto address = [](std::uint8_t last) { return std::array<std::uint8_t, 6>{0x20, 0, 0, 0, 0, last}; };
    env->wan_line_up(a, address(1), address(1), 1500, protocol);
    env->wan_line_up(a, address(2), address(2), 1500, protocol);
    env->wan_line_up(a, address(3), address(1), 1500, protocol);
    EXPECT_EQ(env->signals(ev), 3u);
    const std::vector<seen_status> up = env->statuses(a);
    ASSERT_EQ(up.size(), 3u);
    // The maximum total size sits at the same offset in the portable and the NDIS record.
    EXPECT_EQ(u32_at(up[0].buffer, WAN_LINE_UP_MAXIMUM_TOTAL_SIZE), 1460u);
    EXPECT_EQ(adapter_list(*env).mac_addresses[0][5], 1);  // the latest line's local address

    std::unique_ptr<WAN_LINKS> links = wan_links(*env, a);
    ASSERT_EQ(links->count, 2u);  // the third shares the last four local-address bytes
    EXPECT_EQ(links->links[0].remote_address[5], 1);
    EXPECT_EQ(links->links[1].remote_address[5], 2);
    EXPECT_EQ(+links->links[0].maximum_total_size, 1460u);
    EXPECT_EQ(+links->links[0].protocol_buffer_length, 600u);
    EXPECT_EQ(links->links[0].protocol_buffer[WAN_PROTOCOL_IPV4_OFFSET], 192);

    // Down removes the link whose addresses both match and clears the recorded addresses.
    env->wan_line_down(a, address(1), address(2));
    EXPECT_EQ(wan_links(*env, a)->count, 2u);
    env->wan_line_down(a, address(1), address(1));
    EXPECT_EQ(env->signals(ev), 5u);
    links = wan_links(*env, a);
    ASSERT_EQ(links->count, 1u);
    EXPECT_EQ(links->links[0].remote_address[5], 2);
    EXPECT_EQ(adapter_list(*env).mac_addresses[0][5], 0);
}

// The portable line-up record exists only between a host and the core: one whose
// protocol-buffer length claims more than it holds, or that is cut short, can only be made
// on the fake host (the binding builds the record itself from NDIS's).
TEST(driver_lifecycle_fake, lying_and_truncated_wan_line_ups)
{
    auto env = make_fake_env({40, 0});
    adapter_context* a = env->attach("\\DEVICE\\NDISWANIP", NDIS_MEDIUM_WAN);
    const std::uint64_t ev = env->create_event();
    ASSERT_EQ(env->ioctl(IOCTL_CORVFLT_SET_WAN_EVENT, to_bytes(&ev, 8), 0).status, STATUS_SUCCESS);
    std::vector<std::uint8_t> b(WAN_LINE_UP_PROTOCOL_BUFFER + 600, 0);
    const std::uint32_t total = 1500, claimed = 100000;
    std::memcpy(&b[WAN_LINE_UP_MAXIMUM_TOTAL_SIZE], &total, 4);
    b[WAN_LINE_UP_LOCAL_ADDRESS + 5] = 1;
    std::memcpy(&b[WAN_LINE_UP_PROTOCOL_BUFFER_LENGTH], &claimed, 4);
    b[WAN_LINE_UP_PROTOCOL_BUFFER + 599] = 7;
    // Truncated: passed on, changes nothing.
    std::vector<std::uint8_t> truncated(b.begin(), b.begin() + WAN_LINE_UP_MIN_SIZE - 1);
    env->indicate_status(a, STATUS_INDICATION_WAN_LINE_UP, truncated);
    EXPECT_EQ(env->signals(ev), 0u);
    EXPECT_EQ(env->statuses(a).size(), 1u);
    EXPECT_EQ(wan_links(*env, a)->count, 0u);
    // Lying: only the bytes the record holds are taken.
    env->indicate_status(a, STATUS_INDICATION_WAN_LINE_UP, b);
    EXPECT_EQ(env->signals(ev), 1u);
    std::unique_ptr<WAN_LINKS> links = wan_links(*env, a);
    ASSERT_EQ(links->count, 1u);
    EXPECT_EQ(links->links[0].protocol_buffer[599], 7);
    EXPECT_EQ(links->links[0].protocol_buffer[600], 0);
}

TEST_P(driver_lifecycle, offloads_are_hidden)
{
    auto env = make();
    std::vector<std::uint8_t> config(OFFLOAD_CONFIG_SIZE, 0);
    config[OFFLOAD_CONFIG_REVISION] = 3;
    const std::uint16_t size = OFFLOAD_CONFIG_SIZE;
    std::memcpy(&config[2], &size, 2);
    config[OFFLOAD_IPV4_CHECKSUM_RX.offset] = 1;
    config[OFFLOAD_LSO_V2_IPV6.offset + 3] = 1;
    config[OFFLOAD_RSC_IPV4.offset] = 1;
    config[OFFLOAD_ENCAPSULATED.offset] = 1;
    adapter_context* a = env->attach_with_offload("\\DEVICE\\{A}", config);
    ASSERT_NE(a, nullptr);
    for (std::size_t i = 4; i < config.size(); ++i)
        ASSERT_EQ(config[i], 0) << i;
    // Sent at attach and again at the restart that follows it.
    std::vector<seen_oid> oids = env->oids_down(a);
    ASSERT_EQ(oids.size(), 2u);
    const std::vector<std::uint8_t>& p = oids[0].data;
    EXPECT_EQ(oids[0].oid, OID_TCP_OFFLOAD_PARAMETERS);
    EXPECT_EQ(oids[1].data, p);
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
    env->indicate_status(a, STATUS_INDICATION_OFFLOAD_CURRENT_CONFIG, indication);
    ASSERT_EQ(env->statuses(a).size(), 1u);
    EXPECT_EQ(env->statuses(a)[0].buffer[OFFLOAD_IPV6_CHECKSUM_TX.offset], 0);
    env->pause(a);
    env->restart(a);
    ASSERT_EQ(env->statuses(a).size(), 2u);
    EXPECT_EQ(env->statuses(a)[1].code, STATUS_INDICATION_OFFLOAD_CURRENT_CONFIG);
    EXPECT_EQ(env->oids_down(a).size(), 3u);
    env->pause(a);
    env->restart(a);
    EXPECT_EQ(env->statuses(a).size(), 2u);

    // A coalesced 3000-byte frame passes untouched and switches coalescing off again.
    env->set_mode(a, MODE_TUNNEL_RECV);
    const std::vector<std::uint8_t> big(3000, 0x11);
    EXPECT_EQ(env->receive(a, big), frame_fate::pass);
    EXPECT_EQ(env->queue_size(a), 0u);
    EXPECT_EQ(env->oids_down(a).back().data[PARAM_RSC_IPV6], 1);
    // Oversized frames on the send path cannot be captured whole and are dropped.
    env->set_mode(a, MODE_TUNNEL_SEND);
    EXPECT_EQ(env->send(a, big), frame_fate::consumed);

    std::vector<std::uint8_t> encapsulation(ENCAPSULATION_MIN_SIZE, 0);
    encapsulation[ENCAPSULATION_IPV4] = 1;
    env->indicate_status(a, STATUS_INDICATION_OFFLOAD_ENCAPSULATION_CHANGE, encapsulation);
    EXPECT_EQ(u32_at(env->statuses(a).back().buffer, ENCAPSULATION_IPV4), ENCAPSULATION_OFF);
    EXPECT_EQ(u32_at(env->statuses(a).back().buffer, ENCAPSULATION_IPV6), ENCAPSULATION_OFF);
}

INSTANTIATE_ON_EACH_HOST(driver_lifecycle);

}  // namespace
}  // namespace corvflt::testing
