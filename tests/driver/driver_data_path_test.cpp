// Send and receive decisions by mode, pool exhaustion, IP-media framing, batches and mixed
// requests -- on every host.
#include "driver_host_env.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace corvflt::testing {
namespace {

using driver_data_path = on_each_host;

const std::uint8_t OWN_MAC[6] = {0x02, 0, 0, 0, 0, 1};
const std::uint8_t OTHER_MAC[6] = {0x02, 0, 0, 0, 0, 7};
const std::uint8_t BROADCAST[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::vector<std::uint8_t> frame_to(const std::uint8_t* mac)
{
    ipv4_spec s;
    std::memcpy(s.dst_mac, mac, 6);
    return ipv4_frame(s);
}

TEST_P(driver_data_path, verdicts_by_mode)
{
    struct row {
        std::uint32_t mode;
        bool receive;
        bool loopback;
        const std::uint8_t* dst;
        frame_fate fate;
        std::uint32_t queued;
    };
    constexpr auto pass = frame_fate::pass;
    constexpr auto consumed = frame_fate::consumed;
    const row rows[] = {
        {0, true, false, OWN_MAC, pass, 0},
        {0, false, false, OWN_MAC, pass, 0},
        {MODE_TUNNEL_SEND, false, false, OWN_MAC, consumed, 1},
        {MODE_TUNNEL_SEND, true, false, OWN_MAC, pass, 0},
        {MODE_TUNNEL_RECV, true, false, OWN_MAC, consumed, 1},
        {MODE_TUNNEL_RECV, false, false, OWN_MAC, pass, 0},
        {MODE_LISTEN_SEND, false, false, OWN_MAC, pass, 1},
        {MODE_LISTEN_RECV, true, false, OWN_MAC, pass, 1},
        {MODE_DIVERT_FOREIGN_UNICAST, true, false, OTHER_MAC, consumed, 1},
        {MODE_DIVERT_FOREIGN_UNICAST, true, false, OWN_MAC, pass, 0},
        {MODE_DIVERT_FOREIGN_UNICAST, true, false, BROADCAST, pass, 0},
        // Loopback packets pass untouched unless MODE_LOOPBACK asks for them.
        {MODE_TUNNEL_RECV, true, true, OWN_MAC, pass, 0},
        {MODE_TUNNEL_RECV | MODE_LOOPBACK, true, true, OWN_MAC, consumed, 1},
        {MODE_LOOPBACK, true, true, OWN_MAC, pass, 0},
        {MODE_TUNNEL_RECV | MODE_LOOPBACK | MODE_LOOPBACK_DROP_UNICAST, true, true, OWN_MAC, consumed, 0},
        {MODE_TUNNEL_RECV | MODE_LOOPBACK | MODE_LOOPBACK_DROP_UNICAST, true, true, BROADCAST, consumed, 1},
        {MODE_LISTEN_RECV | MODE_LOOPBACK | MODE_LOOPBACK_DROP_UNICAST, true, true, BROADCAST, pass, 1},
        {MODE_LOOPBACK_DROP_UNICAST, true, true, OWN_MAC, pass, 0},
    };
    for (const row& r : rows) {
        auto env = make();
        adapter_context* a = env->attach("\\DEVICE\\{A}", NDIS_MEDIUM_802_3, OWN_MAC);
        ASSERT_EQ(env->set_mode(a, r.mode), STATUS_SUCCESS);
        const std::vector<std::uint8_t> f = frame_to(r.dst);
        const frame_fate fate = r.receive ? env->receive(a, f, r.loopback) : env->send(a, f);
        EXPECT_EQ(fate, r.fate) << "mode " << r.mode << " receive " << r.receive;
        EXPECT_EQ(env->queue_size(a), r.queued) << "mode " << r.mode << " receive " << r.receive;
        if (r.mode == 0) {
            EXPECT_EQ(env->core().pool().free_count(), 2048u);
        }
    }
}

TEST_P(driver_data_path, short_loopback_frames_and_paused_adapters)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    env->set_mode(a, MODE_TUNNEL_RECV | MODE_LOOPBACK | MODE_LOOPBACK_DROP_UNICAST);
    // Too short to carry a destination: dropped, nothing read past its 3 bytes.
    const std::vector<std::uint8_t> tiny = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(env->receive(a, tiny, true), frame_fate::consumed);
    EXPECT_EQ(env->queue_size(a), 0u);
    // An empty frame is consumed rather than queued.
    EXPECT_EQ(env->receive(a, {}), frame_fate::consumed);
    env->pause(a);
    EXPECT_EQ(env->receive(a, ipv4_frame()), frame_fate::consumed);
    EXPECT_EQ(env->send(a, ipv4_frame()), frame_fate::consumed);
    env->restart(a);
}

// With every counted buffer queued, tunnel traffic is lost while another adapter that only
// copies still passes its packets (judged with reserve buffers).
TEST_P(driver_data_path, counted_buffers_run_out_at_1845)
{
    auto env = make();
    adapter_context* tunnel = env->attach("\\DEVICE\\{T}");
    adapter_context* listen = env->attach("\\DEVICE\\{L}");
    env->set_mode(tunnel, MODE_TUNNEL_RECV);
    env->set_mode(listen, MODE_LISTEN_RECV);
    const std::vector<std::uint8_t> f = ipv4_frame();
    for (int i = 0; i < 1845; ++i)
        ASSERT_EQ(env->receive(tunnel, f), frame_fate::consumed);
    EXPECT_EQ(env->queue_size(tunnel), 1845u);
    EXPECT_EQ(env->receive(tunnel, f), frame_fate::consumed);
    EXPECT_EQ(env->queue_size(tunnel), 1845u);
    EXPECT_EQ(env->receive(listen, f), frame_fate::pass);
    EXPECT_EQ(env->queue_size(listen), 0u);
    EXPECT_EQ(env->core().pool().free_count(), 2048u - 1845u);
    // Freeing the queue makes room again.
    const std::uint64_t h = tunnel->handle();
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_FLUSH_QUEUE, to_bytes(&h, 8), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(env->receive(tunnel, f), frame_fate::consumed);
    EXPECT_EQ(env->queue_size(tunnel), 1u);
}

TEST_P(driver_data_path, ip_media_are_framed_and_unframed)
{
    for (std::uint32_t medium : {NDIS_MEDIUM_WIRELESS_WAN, NDIS_MEDIUM_IP}) {
        auto env = make();
        adapter_context* a = env->attach("\\DEVICE\\{W}", medium);
        env->set_mode(a, MODE_TUNNEL_SEND | MODE_TUNNEL_RECV);
        std::vector<std::uint8_t> v4 = ipv4_frame();
        v4.erase(v4.begin(), v4.begin() + 14);  // bare IP
        std::vector<std::uint8_t> v6 = ipv6_frame(2, 17);
        v6.erase(v6.begin(), v6.begin() + 14);
        EXPECT_EQ(env->receive(a, v4, false, 0x0800), frame_fate::consumed);
        EXPECT_EQ(env->send(a, v6, 0x86DD), frame_fate::consumed);

        caller_buffers bufs(*env, 2);
        const reply r = env->ioctl(IOCTL_CORVFLT_READ_BATCH,
                                  batch_request(a->handle(), 2, {bufs.address(0), bufs.address(1)}), 32);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        for (int i = 0; i < 2; ++i) {
            const std::vector<std::uint8_t> got = bufs.frame(i);
            const std::vector<std::uint8_t>& ip = i == 0 ? v4 : v6;
            ASSERT_EQ(got.size(), ip.size() + 14);
            EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.begin() + 12), std::vector<std::uint8_t>(12, 0));
            EXPECT_EQ(got[12], i == 0 ? 0x08 : 0x86);
            EXPECT_EQ(got[13], i == 0 ? 0x00 : 0xDD);
            EXPECT_TRUE(std::equal(ip.begin(), ip.end(), got.begin() + 14));
        }
        EXPECT_EQ(+bufs.records[0].direction, DIRECTION_INCOMING);
        EXPECT_EQ(+bufs.records[1].direction, DIRECTION_OUTGOING);

        // Re-injected: the 14 bytes are stripped and the frame type comes from the EtherType;
        // a frame of exactly 14 bytes has nothing behind the header and is refused.
        const reply s = env->ioctl(IOCTL_CORVFLT_SEND_BATCH_TO_STACK,
                                  batch_request(a->handle(), 2, {bufs.address(0), bufs.address(1)}), 0);
        EXPECT_EQ(s.status, STATUS_SUCCESS);
        const std::vector<seen_frame> up = env->indicated(a);
        ASSERT_EQ(up.size(), 2u);
        EXPECT_EQ(up[0].data, v4);
        EXPECT_EQ(up[0].frame_type, 0x0800);
        EXPECT_EQ(up[1].frame_type, 0x86DD);
        EXPECT_EQ(env->indicate_chains(a), 1u);
        bufs.records[0].length = 14;
        PACKET_REQUEST p{a->handle(), bufs.address(0)};
        EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_SEND_TO_ADAPTER, p).status, STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(env->sent(a).empty());
    }
}

TEST_P(driver_data_path, batches_read_and_send)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    env->set_mode(a, MODE_TUNNEL_SEND);
    caller_buffers bufs(*env, 4);
    std::vector<std::uint64_t> addresses = {bufs.address(0), bufs.address(1), bufs.address(2), bufs.address(3)};

    // Empty queue: fails, packets done 0.
    std::vector<std::uint8_t> req = batch_request(a->handle(), 4, addresses);
    std::uint32_t stale = 99;
    std::memcpy(req.data() + 12, &stale, 4);
    reply r = env->ioctl(IOCTL_CORVFLT_READ_BATCH, req, static_cast<std::uint32_t>(req.size()));
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.bytes, 0u);
    std::uint32_t done;
    std::memcpy(&done, r.buffer.data() + 12, 4);
    EXPECT_EQ(done, 0u);

    ipv4_spec s;
    for (int i = 0; i < 3; ++i) {
        s.src_port = static_cast<std::uint16_t>(2000 + i);
        ASSERT_EQ(env->send(a, ipv4_frame(s)), frame_fate::consumed);
    }
    r = env->ioctl(IOCTL_CORVFLT_READ_BATCH, req, static_cast<std::uint32_t>(req.size()));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, req.size());
    std::memcpy(&done, r.buffer.data() + 12, 4);
    EXPECT_EQ(done, 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(bufs.frame(i)[14 + 20 + 1], 2000 % 256 + i) << "FIFO order";

    // One 1515-byte frame among valid ones: the others go down in one chain, the request fails.
    bufs.records[1].length = 1515;
    r = env->ioctl(IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER, batch_request(a->handle(), 3, {addresses[0], addresses[1], addresses[2]}), 0);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env->sent(a).size(), 2u);
    EXPECT_EQ(env->send_chains(a), 1u);

    // A bad address in a batch is skipped the same way.
    r = env->ioctl(IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER, batch_request(a->handle(), 2, {addresses[0], 0x10}), 0);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env->sent(a).size(), 3u);
}

// A chain of frames from the host is judged frame by frame but queued in one go: order is
// kept, passing frames still pass, and the client is woken once for the chain.
TEST_P(driver_data_path, chain_is_queued_in_order_with_one_signal)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    const std::uint64_t ev = env->create_event();
    ASSERT_EQ(env->ioctl_record(IOCTL_CORVFLT_SET_PACKET_EVENT, ADAPTER_EVENT{a->handle(), ev}).status,
              STATUS_SUCCESS);
    // Table: UDP port 9 passes; everything else is diverted.
    std::vector<std::uint8_t> table(filter_table_size(1), 0);
    std::uint32_t one = 1;
    std::memcpy(table.data(), &one, 4);
    STATIC_FILTER entry;
    std::memset(&entry, 0, sizeof entry);
    entry.direction = DIRECTION_INCOMING;
    entry.action = FILTER_ACTION_PASS;
    entry.criteria = FILTER_CRITERIA_TRANSPORT;
    entry.transport_kind = FILTER_TRANSPORT_PORTS;
    entry.transport_fields = FILTER_TRANSPORT_DEST;
    entry.ports.dest_first = 9;
    entry.ports.dest_last = 9;
    std::memcpy(table.data() + 4, &entry, sizeof entry);
    ASSERT_EQ(env->ioctl(IOCTL_CORVFLT_SET_FILTER_TABLE, table, 0).status, STATUS_SUCCESS);
    env->set_mode(a, MODE_TUNNEL_RECV);

    std::vector<std::vector<std::uint8_t>> frames;
    for (std::uint16_t i = 0; i < 6; ++i) {
        ipv4_spec s;
        s.src_port = static_cast<std::uint16_t>(3000 + i);
        s.dst_port = i == 2 ? 9 : 53;
        frames.push_back(ipv4_frame(s));
    }
    const std::vector<frame_fate> fates = env->receive_chain(a, frames);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(fates[i], i == 2 ? frame_fate::pass : frame_fate::consumed) << i;
    EXPECT_EQ(env->signals(ev), 1u);
    EXPECT_EQ(env->queue_size(a), 5u);

    caller_buffers bufs(*env, 5);
    std::vector<std::uint64_t> addresses;
    for (int i = 0; i < 5; ++i)
        addresses.push_back(bufs.address(i));
    const std::vector<std::uint8_t> req = batch_request(a->handle(), 5, addresses);
    ASSERT_EQ(env->ioctl(IOCTL_CORVFLT_READ_BATCH, req, static_cast<std::uint32_t>(req.size())).status,
              STATUS_SUCCESS);
    const int expected_ports[5] = {3000, 3001, 3003, 3004, 3005};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(bufs.frame(i), frames[expected_ports[i] - 3000]) << i;
    EXPECT_EQ(env->core().pool().in_use(), 0u);
}

// A filter's stop sets mode 0 and flushes while a data-path thread may be judging a long
// chain under the old mode. Once both requests have returned, nothing of that chain may
// enter the queue: no packet waits there for the next start, and no buffer of the pools
// shared by all adapters stays taken.
TEST_P(driver_data_path, a_flush_wins_over_a_chain_judged_before_it)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    const std::vector<std::vector<std::uint8_t>> chain(1500, ipv4_frame());
    std::atomic<std::uint64_t> chains{0};
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        while (!done.load()) {
            env->receive_chain(a, chain);
            chains.fetch_add(1);
        }
    });
    const std::uint64_t h = a->handle();
    int left_queued = 0;
    for (int round = 0; round < 50; ++round) {
        ASSERT_EQ(env->set_mode(a, MODE_TUNNEL_SEND | MODE_TUNNEL_RECV), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::microseconds(50 + 37 * (round % 7)));
        ASSERT_EQ(env->set_mode(a, 0), STATUS_SUCCESS);
        ASSERT_EQ(env->ioctl(IOCTL_CORVFLT_FLUSH_QUEUE, to_bytes(&h, 8), 0).status, STATUS_SUCCESS);
        // The chain in flight at the flush ends, and one more is judged wholly under mode 0.
        const std::uint64_t seen = chains.load();
        while (chains.load() < seen + 2)
            std::this_thread::yield();
        if (env->queue_size(a) != 0 || env->core().pool().in_use() != 0)
            ++left_queued;
        // A later round must not inherit this one's leftovers.
        env->ioctl(IOCTL_CORVFLT_FLUSH_QUEUE, to_bytes(&h, 8), 0);
    }
    done = true;
    feeder.join();
    EXPECT_EQ(left_queued, 0) << "of 50 stops left packets queued";
}

// Pause and restart while frames keep arriving in chains the driver partly takes (the empty
// frames) and partly passes (copied to the queue as well). Every pause must return with
// nothing of the driver's own still out (the simulated NDIS checks it), nothing may leak, and
// at the end every counted buffer is one waiting in the queue.
TEST_P(driver_data_path, pause_and_restart_while_frames_arrive_leave_nothing_behind)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    ASSERT_EQ(env->set_mode(a, MODE_LISTEN_RECV), STATUS_SUCCESS);
    std::vector<std::vector<std::uint8_t>> chain;
    for (std::uint16_t i = 0; i < 24; ++i) {
        ipv4_spec s;
        s.src_port = i;
        chain.push_back(i % 5 == 0 ? std::vector<std::uint8_t>{} : ipv4_frame(s));
    }
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> chains{0};
    std::vector<std::thread> feeders;
    for (int t = 0; t < 2; ++t) {
        feeders.emplace_back([&] {
            while (!done.load()) {
                env->receive_chain(a, chain);
                chains.fetch_add(1);
            }
        });
    }
    const std::uint64_t h = a->handle();
    for (int round = 0; round < 20; ++round) {
        const std::uint64_t seen = chains.load();
        while (chains.load() < seen + 2)
            std::this_thread::yield();
        env->pause(a);
        env->restart(a);
        if (round % 10 == 9) {
            EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_FLUSH_QUEUE, to_bytes(&h, 8), 0).status, STATUS_SUCCESS);
        }
    }
    done = true;
    for (std::thread& t : feeders)
        t.join();
    EXPECT_EQ(env->core().pool().in_use(), env->queue_size(a));
}

// Several threads send through one adapter in tunnel mode while the client drains its queue
// in batches: every frame is read exactly once, each sender's frames in the order sent, and
// no buffer stays taken.
TEST_P(driver_data_path, many_senders_one_reader_lose_and_reorder_nothing)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    ASSERT_EQ(env->set_mode(a, MODE_TUNNEL_SEND), STATUS_SUCCESS);
    constexpr std::uint16_t senders = 3, per_sender = 400;  // 1200 stay below the 1845 counted buffers
    std::vector<std::thread> threads;
    std::atomic<std::uint32_t> not_taken{0};
    for (std::uint16_t t = 0; t < senders; ++t) {
        threads.emplace_back([&, t] {
            ipv4_spec s;
            s.src_port = t;
            for (std::uint16_t i = 0; i < per_sender; ++i) {
                s.dst_port = i;
                if (env->send(a, ipv4_frame(s)) != frame_fate::consumed)
                    not_taken.fetch_add(1);
            }
        });
    }
    caller_buffers bufs(*env, 64);
    std::vector<std::uint64_t> addresses;
    for (std::size_t i = 0; i < 64; ++i)
        addresses.push_back(bufs.address(i));
    const std::vector<std::uint8_t> request = batch_request(a->handle(), 64, addresses);
    std::uint16_t next[senders] = {};
    std::uint32_t read = 0, out_of_order = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (read < senders * per_sender && std::chrono::steady_clock::now() < deadline) {
        const reply r = env->ioctl(IOCTL_CORVFLT_READ_BATCH, request, static_cast<std::uint32_t>(request.size()));
        std::uint32_t done = 0;
        std::memcpy(&done, r.buffer.data() + 12, 4);
        for (std::uint32_t i = 0; i < done; ++i) {
            const std::vector<std::uint8_t> f = bufs.frame(i);
            const std::uint16_t sender = static_cast<std::uint16_t>(f[34] << 8 | f[35]);
            const std::uint16_t sequence = static_cast<std::uint16_t>(f[36] << 8 | f[37]);
            if (sender >= senders || sequence != next[sender]++)
                ++out_of_order;
        }
        read += done;
        if (done == 0)
            std::this_thread::yield();
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(not_taken.load(), 0u);
    EXPECT_EQ(read, senders * per_sender);
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_EQ(env->queue_size(a), 0u);
    EXPECT_EQ(env->core().pool().in_use(), 0u);
}

// Batch reads move packets in chunks. A buffer the client cannot take ends the batch there:
// the packets before it are delivered, it and every later packet stay queued in FIFO order,
// and no buffer is lost from the pool -- also when the bad address lies beyond the first
// chunk or at its very start.
TEST_P(driver_data_path, batch_read_stops_at_an_unwritable_buffer_without_losing_packets)
{
    struct row {
        std::uint32_t queued;
        std::uint32_t bad_index;  // address replaced by an unregistered one
    };
    for (const row r : {row{300, 150}, row{300, 0}, row{300, 128}, row{5, 4}, row{260, 259}}) {
        SCOPED_TRACE(::testing::Message() << r.queued << " queued, bad at " << r.bad_index);
        auto env = make();
        adapter_context* a = env->attach("\\DEVICE\\{A}");
        env->set_mode(a, MODE_TUNNEL_SEND);
        for (std::uint32_t i = 0; i < r.queued; ++i) {
            ipv4_spec s;
            s.src_port = static_cast<std::uint16_t>(i);
            ASSERT_EQ(env->send(a, ipv4_frame(s)), frame_fate::consumed);
        }
        caller_buffers bufs(*env, r.queued);
        std::vector<std::uint64_t> addresses;
        for (std::uint32_t i = 0; i < r.queued; ++i)
            addresses.push_back(bufs.address(i));
        addresses[r.bad_index] = 0x10;
        std::vector<std::uint8_t> req = batch_request(a->handle(), r.queued, addresses);
        reply rep = env->ioctl(IOCTL_CORVFLT_READ_BATCH, req, static_cast<std::uint32_t>(req.size()));
        std::uint32_t done;
        std::memcpy(&done, rep.buffer.data() + 12, 4);
        EXPECT_EQ(done, r.bad_index);
        EXPECT_EQ(rep.status, r.bad_index ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        EXPECT_EQ(env->queue_size(a), r.queued - r.bad_index);
        EXPECT_EQ(env->core().pool().in_use(), r.queued - r.bad_index);

        // The rest comes out next, oldest first.
        addresses[r.bad_index] = bufs.address(r.bad_index);
        std::vector<std::uint64_t> rest(addresses.begin() + r.bad_index, addresses.end());
        req = batch_request(a->handle(), static_cast<std::uint32_t>(rest.size()), rest);
        rep = env->ioctl(IOCTL_CORVFLT_READ_BATCH, req, static_cast<std::uint32_t>(req.size()));
        ASSERT_EQ(rep.status, STATUS_SUCCESS);
        for (std::uint32_t i = 0; i < r.queued; ++i) {
            const std::vector<std::uint8_t> f = bufs.frame(i);
            ASSERT_GT(f.size(), 14u + 20 + 1);
            EXPECT_EQ(f[14 + 20] << 8 | f[14 + 20 + 1], static_cast<int>(i)) << i;
        }
        EXPECT_EQ(env->queue_size(a), 0u);
        EXPECT_EQ(env->core().pool().in_use(), 0u);
    }
}

// The count is checked against the input before any address is used: the request below
// announces 510 addresses but carries two.
TEST_P(driver_data_path, batch_shorter_than_its_count_is_refused)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    env->set_mode(a, MODE_TUNNEL_SEND);
    ASSERT_EQ(env->send(a, ipv4_frame()), frame_fate::consumed);
    caller_buffers bufs(*env, 2);
    bufs.fill(0, ipv4_frame());
    bufs.fill(1, ipv4_frame());
    for (std::uint32_t code : {IOCTL_CORVFLT_READ_BATCH, IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER,
                               IOCTL_CORVFLT_SEND_BATCH_TO_STACK}) {
        for (std::uint32_t count : {3u, 510u, 0x20000000u, 0xFFFFFFFFu}) {
            const std::vector<std::uint8_t> req = batch_request(a->handle(), count, {bufs.address(0), bufs.address(1)});
            const reply r = env->ioctl(code, req, static_cast<std::uint32_t>(req.size()));
            EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << std::hex << code << " " << count;
        }
    }
    EXPECT_EQ(env->queue_size(a), 1u);
    EXPECT_TRUE(env->sent(a).empty());
    EXPECT_TRUE(env->indicated(a).empty());
}

// A packet whose client buffer cannot be written stays queued.
TEST_P(driver_data_path, unwritable_buffer_keeps_the_packet)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    env->set_mode(a, MODE_TUNNEL_RECV);
    ASSERT_EQ(env->receive(a, ipv4_frame()), frame_fate::consumed);
    caller_buffers bufs(*env, 1);
    // Half-valid: starts inside the registered range, runs past its end.
    const std::uint64_t half = bufs.address(0) + sizeof(INTERMEDIATE_BUFFER) - 20;
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_READ_PACKET, PACKET_REQUEST{a->handle(), half}).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env->queue_size(a), 1u);
    const reply r = env->ioctl_record(IOCTL_CORVFLT_READ_PACKET, PACKET_REQUEST{a->handle(), bufs.address(0)}, 16);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 16u);
    EXPECT_EQ(bufs.frame(0), ipv4_frame());
    EXPECT_EQ(env->queue_size(a), 0u);
}

TEST_P(driver_data_path, mixed_reads_newest_adapter_first_and_mixed_sends_by_handle)
{
    auto env = make();
    adapter_context* older = env->attach("\\DEVICE\\{O}");
    adapter_context* newer = env->attach("\\DEVICE\\{N}");
    env->set_mode(older, MODE_TUNNEL_RECV);
    env->set_mode(newer, MODE_TUNNEL_RECV);
    ipv4_spec s;
    s.src_port = 1;
    env->receive(older, ipv4_frame(s));
    s.src_port = 2;
    env->receive(newer, ipv4_frame(s));
    s.src_port = 3;
    env->receive(older, ipv4_frame(s));

    caller_buffers bufs(*env, 4);
    std::vector<std::uint64_t> addresses = {bufs.address(0), bufs.address(1), bufs.address(2), bufs.address(3)};
    env->register_memory(addresses.data(), addresses.size() * 8);
    MIXED_BATCH_REQUEST m{reinterpret_cast<std::uintptr_t>(addresses.data()), 4};
    reply r = env->ioctl_record(IOCTL_CORVFLT_READ_MIXED, m, 12);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 12u);
    std::uint32_t n;
    std::memcpy(&n, r.buffer.data() + 8, 4);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(+bufs.records[0].adapter_handle, newer->handle());
    EXPECT_EQ(+bufs.records[1].adapter_handle, older->handle());
    EXPECT_EQ(+bufs.records[2].adapter_handle, older->handle());
    EXPECT_EQ(bufs.frame(1)[14 + 20 + 1], 1);
    EXPECT_EQ(bufs.frame(2)[14 + 20 + 1], 3);
    r = env->ioctl_record(IOCTL_CORVFLT_READ_MIXED, m, 12);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);

    // Mixed sends: unknown handles and oversize frames are skipped; the request succeeds.
    bufs.records[2].adapter_handle = 0x1234;
    bufs.records[3] = bufs.records[0];
    bufs.records[3].length = 1600;
    r = env->ioctl_record(IOCTL_CORVFLT_SEND_MIXED_TO_ADAPTERS, m, 12);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    std::memcpy(&n, r.buffer.data() + 8, 4);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(env->sent(newer).size(), 1u);
    EXPECT_EQ(env->sent(older).size(), 1u);
    env->unregister_memory(addresses.data());
}

INSTANTIATE_ON_EACH_HOST(driver_data_path);

}  // namespace
}  // namespace corvflt::testing
