// Control dispatcher: length checks and statuses of every code, handle resolution,
// adapter list, events, and what the last close undoes -- on every host.
#include "driver_host_env.h"

namespace corvflt::testing {
namespace {

using driver_control = on_each_host;

// Every row is a request whose lengths alone must be refused; none may change state.
TEST_P(driver_control, short_requests_are_refused_without_effect)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    const std::uint64_t h = a->handle();
    std::vector<std::uint8_t> handle_bytes = to_bytes(&h, 8);
    auto padded = [&](std::size_t n) {
        std::vector<std::uint8_t> b(n, 0);
        std::memcpy(b.data(), &h, std::min<std::size_t>(8, n));
        return b;
    };
    struct row {
        std::uint32_t code;
        std::vector<std::uint8_t> in;
        std::uint32_t out;
    };
    const row rows[] = {
        {IOCTL_CORVFLT_GET_VERSION, {}, 3},
        {IOCTL_CORVFLT_GET_ADAPTER_LIST, {}, sizeof(ADAPTER_LIST) - 1},
        {IOCTL_CORVFLT_SEND_TO_ADAPTER, padded(15), 0},
        {IOCTL_CORVFLT_SEND_TO_STACK, padded(15), 0},
        {IOCTL_CORVFLT_READ_PACKET, padded(15), 0},
        {IOCTL_CORVFLT_SET_ADAPTER_MODE, padded(11), 0},
        {IOCTL_CORVFLT_FLUSH_QUEUE, padded(7), 0},
        {IOCTL_CORVFLT_SET_PACKET_EVENT, padded(15), 0},
        {IOCTL_CORVFLT_SET_OID, padded(16), 16},
        {IOCTL_CORVFLT_QUERY_OID, padded(20), 24},
        {IOCTL_CORVFLT_SET_WAN_EVENT, padded(7), 0},
        {IOCTL_CORVFLT_SET_LIST_CHANGE_EVENT, padded(7), 0},
        {IOCTL_CORVFLT_GET_QUEUE_SIZE, padded(7), 4},
        {IOCTL_CORVFLT_GET_QUEUE_SIZE, handle_bytes, 3},
        {IOCTL_CORVFLT_GET_ADAPTER_MODE, padded(11), 12},
        {IOCTL_CORVFLT_SET_FILTER_TABLE, padded(184), 0},
        {IOCTL_CORVFLT_GET_FILTER_TABLE_SIZE, {}, 3},
        {IOCTL_CORVFLT_GET_FILTER_TABLE, {}, 3},
        {IOCTL_CORVFLT_GET_FILTER_TABLE_RESET_STATS, {}, 3},
        {IOCTL_CORVFLT_GET_WAN_LINKS, handle_bytes, sizeof(WAN_LINKS) - 1},
        {IOCTL_CORVFLT_GET_WAN_LINKS, padded(7), sizeof(WAN_LINKS)},
        {IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER, padded(23), 0},
        {IOCTL_CORVFLT_SEND_BATCH_TO_STACK, padded(23), 0},
        {IOCTL_CORVFLT_READ_BATCH, padded(23), 23},
        {IOCTL_CORVFLT_SET_FILTER_CHANGE_EVENT, padded(15), 0},
        {IOCTL_CORVFLT_MAP_SHARED_SECTION, padded(11), 0},
        {IOCTL_CORVFLT_READ_MIXED, padded(11), 12},
        {IOCTL_CORVFLT_SEND_MIXED_TO_ADAPTERS, padded(11), 12},
        {IOCTL_CORVFLT_SEND_MIXED_TO_STACK, padded(11), 12},
        {IOCTL_CORVFLT_ADD_SHARED_SECTION, padded(11), 0},
        {corvflt_control_code(0x84D), padded(64), 64},
        {corvflt_control_code(0x82F), padded(64), 64},
        {0, {}, 0},
    };
    for (const row& r : rows) {
        const reply rep = env->ioctl(r.code, r.in, r.out);
        EXPECT_EQ(rep.status, STATUS_INVALID_PARAMETER) << std::hex << r.code << " in " << r.in.size();
        EXPECT_EQ(rep.bytes, 0u) << std::hex << r.code;
    }
    EXPECT_EQ(a->mode.load(), 0u);
    EXPECT_TRUE(env->oids_down(a).empty());
}

TEST_P(driver_control, valid_minimal_requests_report_their_bytes)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    const std::uint64_t h = a->handle();
    reply r = env->ioctl(IOCTL_CORVFLT_GET_VERSION, {}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 4u);
    std::uint32_t version;
    std::memcpy(&version, r.buffer.data(), 4);
    EXPECT_EQ(version, 0x02203000u);

    // ADAPTER_MODE: 11 bytes fail (above), 12 succeed, larger too.
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_SET_ADAPTER_MODE, ADAPTER_MODE{h, 3}).status, STATUS_SUCCESS);
    std::vector<std::uint8_t> big(40, 0);
    ADAPTER_MODE m{h, 0};
    std::memcpy(big.data(), &m, sizeof(m));
    r = env->ioctl(IOCTL_CORVFLT_GET_ADAPTER_MODE, big, 40);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 12u);
    std::uint32_t mode;
    std::memcpy(&mode, r.buffer.data() + 8, 4);
    EXPECT_EQ(mode, 3u);

    r = env->ioctl(IOCTL_CORVFLT_GET_QUEUE_SIZE, to_bytes(&h, 8), 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_FLUSH_QUEUE, to_bytes(&h, 8), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_RESET_FILTER_TABLE, {}, 0).status, STATUS_SUCCESS);
    r = env->ioctl(IOCTL_CORVFLT_GET_FILTER_TABLE, {}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 4u);
    r = env->ioctl(IOCTL_CORVFLT_GET_WAN_LINKS, to_bytes(&h, 8), sizeof(WAN_LINKS));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, sizeof(WAN_LINKS));
}

// Unknown handles, null, and handles of paused adapters all fail the same way; a paused
// adapter is found again after restart.
TEST_P(driver_control, unknown_and_paused_handles_fail_alike)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    const std::uint64_t handles[] = {0, 1, a->handle() + 8, ~0ull};
    for (std::uint64_t h : handles) {
        EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_SET_ADAPTER_MODE, ADAPTER_MODE{h, 3}).status,
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_GET_QUEUE_SIZE, to_bytes(&h, 8), 4).status,
                  STATUS_INVALID_PARAMETER);
    }
    env->pause(a);
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_SET_ADAPTER_MODE, ADAPTER_MODE{a->handle(), 3}).status,
              STATUS_INVALID_PARAMETER);
    env->restart(a);
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_SET_ADAPTER_MODE, ADAPTER_MODE{a->handle(), 3}).status,
              STATUS_SUCCESS);
    // After detach the old handle names nothing (and is not dereferenced).
    const std::uint64_t old = a->handle();
    env->detach(a);
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_FLUSH_QUEUE, to_bytes(&old, 8), 0).status,
              STATUS_INVALID_PARAMETER);
}

TEST_P(driver_control, adapter_list_reports_newest_first_and_at_most_32)
{
    auto env = make();
    std::vector<adapter_context*> adapters;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "\\DEVICE\\{" + std::to_string(i) + "}";
        adapters.push_back(env->attach(name.c_str()));
    }
    const reply r = env->ioctl(IOCTL_CORVFLT_GET_ADAPTER_LIST, {}, sizeof(ADAPTER_LIST));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, sizeof(ADAPTER_LIST));
    ADAPTER_LIST list;
    std::memcpy(&list, r.buffer.data(), sizeof(list));
    EXPECT_EQ(+list.count, 32u);
    EXPECT_STREQ(list.names[0], "\\DEVICE\\{39}");
    EXPECT_STREQ(list.names[31], "\\DEVICE\\{8}");
    EXPECT_EQ(+list.handles[0], adapters[39]->handle());
    EXPECT_EQ(list.mtus[5], 1500);
}

TEST_P(driver_control, events_are_referenced_replaced_and_released)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    const std::uint64_t e1 = env->create_event(), e2 = env->create_event();
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_SET_PACKET_EVENT, ADAPTER_EVENT{a->handle(), e1}).status,
              STATUS_SUCCESS);
    EXPECT_EQ(env->references(e1), 1);
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_SET_PACKET_EVENT, ADAPTER_EVENT{a->handle(), e2}).status,
              STATUS_SUCCESS);
    EXPECT_EQ(env->references(e1), 0);
    // A handle that names no event fails, and the adapter is left without one.
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_SET_PACKET_EVENT, ADAPTER_EVENT{a->handle(), 0x7777}).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env->references(e2), 0);
    EXPECT_EQ(a->packet_event, nullptr);

    // The list-change event fires on restart and detach, not on attach or pause: attaching
    // (which restarts) signals once.
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_SET_LIST_CHANGE_EVENT, to_bytes(&e1, 8), 0).status, STATUS_SUCCESS);
    adapter_context* b = env->attach("\\DEVICE\\{B}");
    EXPECT_EQ(env->signals(e1), 1u);
    env->pause(b);
    EXPECT_EQ(env->signals(e1), 1u);
    env->restart(b);
    EXPECT_EQ(env->signals(e1), 2u);
    env->detach(b);
    EXPECT_EQ(env->signals(e1), 3u);
}

// The last close returns every adapter to StartupMode, empties queues, releases events and
// removes the table; an earlier close changes nothing.
TEST_P(driver_control, last_close_resets_adapters)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    const std::uint64_t second = env->open();
    const std::uint64_t ev = env->create_event();
    ASSERT_EQ(env->set_mode(a, MODE_TUNNEL_SEND | MODE_TUNNEL_RECV), STATUS_SUCCESS);
    ASSERT_EQ(env->ioctl_record(IOCTL_CORVFLT_SET_PACKET_EVENT, ADAPTER_EVENT{a->handle(), ev}).status,
              STATUS_SUCCESS);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(env->receive(a, ipv4_frame()), frame_fate::consumed);
    EXPECT_EQ(env->signals(ev), 5u);
    std::vector<std::uint8_t> table(filter_table_size(1), 0);
    table[0] = 1;
    ASSERT_EQ(env->ioctl(IOCTL_CORVFLT_SET_FILTER_TABLE, table, 0).status, STATUS_SUCCESS);

    env->close(second);
    EXPECT_EQ(env->queue_size(a), 5u);
    EXPECT_EQ(a->mode.load(), 3u);

    env->close();
    EXPECT_EQ(env->queue_size(a), 0u);
    EXPECT_EQ(a->mode.load(), 0u);
    EXPECT_EQ(env->references(ev), 0);
    EXPECT_EQ(env->core().pool().in_use(), 0u);
    env->open();
    const reply r = env->ioctl(IOCTL_CORVFLT_GET_FILTER_TABLE_SIZE, {}, 4);
    std::uint32_t n;
    std::memcpy(&n, r.buffer.data(), 4);
    EXPECT_EQ(n, 0u);
}

INSTANTIATE_ON_EACH_HOST(driver_control);

}  // namespace
}  // namespace corvflt::testing
