// The completion port and the overlapped socket operations beneath it: registration rules,
// the worker pool, and the contract that every posted operation completes exactly once.

#include "proxy/io_completion_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_socket.h"
#include "platform/wine_detection.h"
#include "proxy_test_peer.h"

namespace {

using namespace std::chrono_literals;
using proxy_test::close_quietly;
using proxy_test::connected_pair;
using proxy_test::loopback;

// Counts completions per overlapped record.
struct recorder {
    struct entry {
        int count = 0;
        std::uint32_t bytes = 0;
        int success = -1;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::map<platform::overlapped*, entry> seen;

    proxy::completion_handler handler()
    {
        return [this](std::uint32_t bytes, platform::overlapped* ov, int success) {
            std::lock_guard lock(mutex);
            entry& e = seen[ov];
            ++e.count;
            e.bytes = bytes;
            e.success = success;
            changed.notify_all();
            return true;
        };
    }
    // Waits until `ov` completed at least once; returns its record.
    entry wait(platform::overlapped* ov, std::chrono::milliseconds limit = 5000ms)
    {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, limit, [&] { return seen.count(ov) != 0; });
        return seen.count(ov) ? seen[ov] : entry{};
    }
    // Records on the stack of different blocks share addresses: forget earlier ones.
    void reset()
    {
        std::lock_guard lock(mutex);
        seen.clear();
    }
    int count(platform::overlapped* ov)
    {
        std::lock_guard lock(mutex);
        return seen.count(ov) ? seen[ov].count : 0;
    }
};

TEST(proxy_io_completion_port, registration_and_pool_rules)
{
    proxy::io_completion_port port(4);
    std::uint32_t e = 0;
    platform::socket_handle s1 = platform::open_tcp_socket(e);
    platform::socket_handle s2 = platform::open_tcp_socket(e);
    recorder r;

    // An empty callable registers nothing; an unknown key binds nothing, so s1 is still free
    // to be bound afterwards (a socket binds to one port only once).
    EXPECT_FALSE(port.associate_device(s1, proxy::completion_handler{}).valid());
    EXPECT_FALSE(port.associate_socket(s1, 0x1234));
    auto registration = port.associate_device(s1, r.handler());
    const bool ok = registration.valid();
    const std::uintptr_t key = registration.key();
    EXPECT_TRUE(ok);
    EXPECT_NE(key, 0u);
    EXPECT_TRUE(port.associate_socket(s2, key));

    port.stop_thread_pool();  // never started: returns at once
    EXPECT_EQ(port.thread_count(), 0u);
    port.start_thread_pool();
    port.start_thread_pool();  // the second start changes nothing
    EXPECT_EQ(port.thread_count(), 8u);  // 2 x 4 logical processors
    port.stop_thread_pool();
    EXPECT_EQ(port.thread_count(), 0u);
    EXPECT_FALSE(port.is_active());

    proxy::io_completion_port machine;
    EXPECT_GE(machine.concurrency(), 1u);
    close_quietly(s1);
    close_quietly(s2);
}

TEST(proxy_io_completion_port, posted_packets_reach_only_the_handler_of_their_key)
{
    proxy::io_completion_port port(1);
    recorder r;
    std::uint32_t e = 0;
    platform::socket_handle s = platform::open_tcp_socket(e);
    auto registration = port.associate_device(s, r.handler());
    const bool ok = registration.valid();
    const std::uintptr_t key = registration.key();
    ASSERT_TRUE(ok);

    // Registered and posted before the pool runs: the packet waits in the queue.
    platform::overlapped early{};
    ASSERT_TRUE(port.post_completion(7, key, &early));
    platform::overlapped nobody{};
    ASSERT_TRUE(port.post_completion(9, 0, &nobody));
    port.start_thread_pool();
    const auto got = r.wait(&early);
    EXPECT_EQ(got.count, 1);
    EXPECT_EQ(got.bytes, 7u);
    EXPECT_EQ(got.success, 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.count(&nobody), 0);
    port.stop_thread_pool();
    close_quietly(s);
}

TEST(proxy_io_completion_port, every_operation_completes_exactly_once)
{
    proxy::io_completion_port port(2);
    recorder r;
    port.start_thread_pool();
    std::uint32_t e = 0;
    platform::socket_handle reg = platform::open_tcp_socket(e);
    auto registration = port.associate_device(reg, r.handler());
    const bool ok = registration.valid();
    const std::uintptr_t key = registration.key();
    ASSERT_TRUE(ok);

    char data[5] = {'h', 'e', 'l', 'l', 'o'};
    char in[64];
    platform::io_buffer in_buffer{sizeof in, in};
    {
        SCOPED_TRACE("receive pending, then data; then data queued before the receive");
        connected_pair p;
        ASSERT_TRUE(port.associate_socket(p.a, key));
        platform::overlapped ov{};
        EXPECT_TRUE(platform::completion_follows(platform::post_receive(p.a, in_buffer, &ov)));
        ASSERT_EQ(platform::send_all(p.b, data, 5, 5000), 0u);
        auto got = r.wait(&ov);
        EXPECT_EQ(got.success, 1);
        EXPECT_EQ(got.bytes, 5u);

        ASSERT_EQ(platform::send_all(p.b, data, 3, 5000), 0u);
        std::this_thread::sleep_for(50ms);
        platform::overlapped queued{};
        // Even an immediate success is reported through the port, never inline.
        EXPECT_TRUE(platform::completion_follows(platform::post_receive(p.a, in_buffer, &queued)));
        got = r.wait(&queued);
        EXPECT_EQ(got.success, 1);
        EXPECT_EQ(got.bytes, 3u);

        platform::overlapped send{};
        platform::io_buffer out{5, data};
        EXPECT_TRUE(platform::completion_follows(platform::post_send(p.a, out, &send)));
        got = r.wait(&send);
        EXPECT_EQ(got.success, 1);
        EXPECT_EQ(got.bytes, 5u);

        platform::overlapped ended{};
        EXPECT_TRUE(platform::completion_follows(platform::post_receive(p.a, in_buffer, &ended)));
        platform::shutdown_socket(p.b);
        got = r.wait(&ended);
        EXPECT_EQ(got.success, 1);
        EXPECT_EQ(got.bytes, 0u);  // graceful end of stream
        std::this_thread::sleep_for(100ms);
        for (platform::overlapped* o : {&ov, &queued, &send, &ended})
            EXPECT_EQ(r.count(o), 1);
    }
    // However a socket with a receive outstanding is closed, the receive completes once.
    enum class ending { close, shutdown_then_close, shutdown_and_close };
    for (const ending how : {ending::close, ending::shutdown_then_close, ending::shutdown_and_close}) {
        SCOPED_TRACE("closing a socket with a receive outstanding, way " + std::to_string(static_cast<int>(how)));
        r.reset();
        connected_pair p;
        ASSERT_TRUE(port.associate_socket(p.a, key));
        platform::overlapped receive{};
        EXPECT_TRUE(platform::completion_follows(platform::post_receive(p.a, in_buffer, &receive)));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(r.count(&receive), 0);
        if (how == ending::shutdown_and_close) {
            platform::shutdown_and_close(p.a);
        } else {
            if (how == ending::shutdown_then_close)
                platform::shutdown_socket(p.a);
            platform::close_socket(p.a);
        }
        p.a = platform::invalid_socket;
        const auto got = r.wait(&receive);
        EXPECT_EQ(got.count, 1);
        EXPECT_EQ(got.bytes, 0u);
        if (how == ending::close) {
            EXPECT_EQ(got.success, 0);
        }
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(r.count(&receive), 1);
        // A post on the closed handle fails at once and never completes.
        platform::overlapped late{};
        EXPECT_FALSE(platform::completion_follows(platform::post_receive(p.a, in_buffer, &late)));
    }
    {
        SCOPED_TRACE("peer resets the connection");
        r.reset();
        connected_pair p;
        ASSERT_TRUE(port.associate_socket(p.a, key));
        platform::overlapped receive{};
        EXPECT_TRUE(platform::completion_follows(platform::post_receive(p.a, in_buffer, &receive)));
        platform::set_abortive_close(p.b);
        platform::close_socket(p.b);
        p.b = platform::invalid_socket;
        const auto got = r.wait(&receive);
        EXPECT_EQ(got.count, 1);
        EXPECT_EQ(got.bytes, 0u);
    }
    {
        SCOPED_TRACE("datagrams: receive_from reports the sender, send_to completes");
        r.reset();
        platform::socket_handle u1 = platform::open_udp_socket(e);
        platform::socket_handle u2 = platform::open_udp_socket(e);
        std::uint16_t port1 = 0, port2 = 0;
        ASSERT_EQ(platform::bind_ipv4(u1, loopback(), 0), 0u);
        ASSERT_EQ(platform::bind_ipv4(u2, loopback(), 0), 0u);
        platform::local_port(u1, port1);
        platform::local_port(u2, port2);
        ASSERT_TRUE(port.associate_socket(u1, key));
        ASSERT_TRUE(port.associate_socket(u2, key));
        platform::socket_address from{};
        int from_length = platform::socket_address_capacity;
        platform::overlapped receive{};
        EXPECT_TRUE(platform::completion_follows(
            platform::post_receive_from(u1, in_buffer, &from, &from_length, &receive)));
        platform::socket_address to{};
        const int to_length = platform::make_ipv4_address(to, loopback(), port1);
        platform::overlapped send{};
        platform::io_buffer out{5, data};
        EXPECT_TRUE(platform::completion_follows(platform::post_send_to(u2, out, to, to_length, &send)));
        EXPECT_EQ(r.wait(&send).bytes, 5u);
        const auto got = r.wait(&receive);
        EXPECT_EQ(got.bytes, 5u);
        in_addr sender{};
        std::uint16_t sender_port = 0;
        ASSERT_TRUE(platform::read_ipv4_address(from, from_length, sender, sender_port));
        EXPECT_EQ(sender_port, port2);
        EXPECT_EQ(std::memcmp(&sender, "\x7f\x00\x00\x01", 4), 0);
        close_quietly(u1);
        close_quietly(u2);
    }
    port.stop_thread_pool();
    close_quietly(reg);
}

TEST(proxy_io_completion_port, close_completes_a_blocked_send_and_a_receive)
{
    if (platform::running_under_wine())
        GTEST_SKIP() << "Wine completes neither operation when a socket with a send blocked on a "
                        "full peer is closed (Windows completes both with 995)";
    proxy::io_completion_port port(2);
    recorder r;
    port.start_thread_pool();
    connected_pair p;
    auto registration = port.associate_device(p.a, r.handler());
    ASSERT_TRUE(registration.valid());
    char in[64];
    platform::io_buffer in_buffer{sizeof in, in};
    platform::overlapped receive{};
    EXPECT_TRUE(platform::completion_follows(platform::post_receive(p.a, in_buffer, &receive)));
    // Far more than loopback buffers hold while the peer does not read.
    std::vector<char> big(64u << 20, 'x');
    platform::io_buffer out{static_cast<std::uint32_t>(big.size()), big.data()};
    platform::overlapped send{};
    EXPECT_TRUE(platform::completion_follows(platform::post_send(p.a, out, &send)));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(r.count(&receive), 0);
    EXPECT_EQ(r.count(&send), 0);
    platform::close_socket(p.a);
    p.a = platform::invalid_socket;
    EXPECT_EQ(r.wait(&receive).success, 0);
    EXPECT_EQ(r.wait(&send).success, 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(r.count(&receive), 1);
    EXPECT_EQ(r.count(&send), 1);
    port.stop_thread_pool();
}

// A receive that came back short emptied the socket; the next one must still get the bytes
// that arrive afterwards, whether they come before it is posted (once the port has seen them
// and found nothing waiting) or after.
TEST(proxy_io_completion_port, a_receive_after_a_short_one_gets_what_follows)
{
    proxy::io_completion_port port(2);
    recorder r;
    port.start_thread_pool();
    connected_pair p;
    auto registration = port.associate_device(p.a, r.handler());
    ASSERT_TRUE(registration.valid());
    const std::uintptr_t key = registration.key();
    char in[64];
    platform::io_buffer in_buffer{sizeof in, in};
    for (const bool data_first : {true, false, true}) {
        platform::overlapped first{};
        ASSERT_TRUE(platform::completion_follows(platform::post_receive(p.a, in_buffer, &first)));
        ASSERT_EQ(platform::send_all(p.b, "abc", 3, 5000), 0u);
        ASSERT_EQ(r.wait(&first).bytes, 3u);
        r.reset();
        platform::overlapped second{};
        if (data_first) {
            ASSERT_EQ(platform::send_all(p.b, "defg", 4, 5000), 0u);
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(platform::completion_follows(platform::post_receive(p.a, in_buffer, &second)));
        if (!data_first) {
            std::this_thread::sleep_for(50ms);
            ASSERT_EQ(platform::send_all(p.b, "defg", 4, 5000), 0u);
        }
        const recorder::entry got = r.wait(&second);
        EXPECT_EQ(got.count, 1) << (data_first ? "data before the post" : "data after the post");
        EXPECT_EQ(got.bytes, 4u);
        EXPECT_EQ(std::string(in, 4), "defg");
        r.reset();
    }
    {
        SCOPED_TRACE("a connected datagram socket: every receive is short, and the next "
                     "datagram may be waiting already");
        std::uint32_t e = 0;
        platform::socket_handle u1 = platform::open_udp_socket(e);
        platform::socket_handle u2 = platform::open_udp_socket(e);
        std::uint16_t port1 = 0, port2 = 0;
        ASSERT_EQ(platform::bind_ipv4(u1, loopback(), 0), 0u);
        ASSERT_EQ(platform::bind_ipv4(u2, loopback(), 0), 0u);
        ASSERT_EQ(platform::local_port(u1, port1), 0u);
        ASSERT_EQ(platform::local_port(u2, port2), 0u);
        ASSERT_EQ(platform::connect_ipv4(u1, loopback(), port2), 0u);
        ASSERT_EQ(platform::connect_ipv4(u2, loopback(), port1), 0u);
        ASSERT_TRUE(port.associate_socket(u1, key));
        platform::overlapped first{};
        ASSERT_TRUE(platform::completion_follows(platform::post_receive(u1, in_buffer, &first)));
        ASSERT_EQ(platform::send_all(u2, "one", 3, 5000), 0u);
        ASSERT_EQ(platform::send_all(u2, "two!", 4, 5000), 0u);
        EXPECT_EQ(r.wait(&first).bytes, 3u);
        std::this_thread::sleep_for(50ms);
        r.reset();
        platform::overlapped second{};
        ASSERT_TRUE(platform::completion_follows(platform::post_receive(u1, in_buffer, &second)));
        const recorder::entry got = r.wait(&second);
        EXPECT_EQ(got.count, 1);
        EXPECT_EQ(got.bytes, 4u);
        EXPECT_EQ(std::string(in, 4), "two!");
        close_quietly(u1);
        close_quietly(u2);
    }
    port.stop_thread_pool();
}

// A server stops by closing its listening socket under its accept thread. Closed at any
// moment of that thread's wait -- also just before it blocks -- the accept must end, even
// when the descriptor number is taken by a new socket at once.
TEST(proxy_io_completion_port, closing_a_listener_always_ends_its_accept)
{
    for (int round = 0; round < 100; ++round) {
        std::uint32_t e = 0;
        const platform::socket_handle listener = platform::open_tcp_socket(e);
        ASSERT_EQ(platform::bind_ipv4(listener, loopback(), 0), 0u);
        ASSERT_EQ(platform::listen_socket(listener), 0u);
        std::atomic<bool> ended{false};
        std::atomic<bool> accepting{false};
        std::thread acceptor([&] {
            std::uint32_t error = 0;
            accepting = true;
            const platform::socket_handle s = platform::accept_socket(listener, error);
            if (s != platform::invalid_socket)
                platform::close_socket(s);
            ended = true;
        });
        // Close as the accept begins (most rounds), or once it surely waits.
        while (!accepting)
            std::this_thread::yield();
        if (round % 4 == 0)
            std::this_thread::sleep_for(1ms);
        platform::close_socket(listener);
        std::vector<platform::socket_handle> squatters;
        for (int i = 0; i < 4; ++i)
            squatters.push_back(platform::open_tcp_socket(e));
        for (int i = 0; i < 500 && !ended; ++i)
            std::this_thread::sleep_for(10ms);
        for (auto s : squatters)
            platform::close_socket(s);
        if (!ended) {
            acceptor.detach();
            FAIL() << "accept still waiting after its socket was closed, round " << round;
        }
        acceptor.join();
    }
}

// The handler of the blocked-handler tests: a completion of `block` holds its worker until
// release(); every other completion is counted in `others`.
struct holding_handler {
    platform::overlapped block{};
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    int blocked = 0;
    int others = 0;

    proxy::completion_handler handler()
    {
        return [this](std::uint32_t, platform::overlapped* ov, int) {
            std::unique_lock lock(mutex);
            if (ov == &block) {
                ++blocked;
                changed.notify_all();
                changed.wait_for(lock, 20s, [&] { return released; });
            } else {
                ++others;
                changed.notify_all();
            }
            return true;
        };
    }
    // `done` is checked under the mutex.
    template <typename Predicate>
    bool wait_until(Predicate done)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, done);
    }
    void release()
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};

// Handlers that block as many workers as there are processors (the SOCKS5 UDP server's
// blocks by design) must not hold up the completions of everybody else.
TEST(proxy_io_completion_port, blocked_handlers_hold_up_nobody_else)
{
    const std::uint32_t processors = std::max(1u, std::thread::hardware_concurrency());
    proxy::io_completion_port port(processors);
    holding_handler h;
    std::uint32_t e = 0;
    platform::socket_handle reg = platform::open_tcp_socket(e);
    auto registration = port.associate_device(reg, h.handler());
    const bool ok = registration.valid();
    const std::uintptr_t key = registration.key();
    ASSERT_TRUE(ok);
    port.start_thread_pool();
    for (std::uint32_t i = 0; i < processors; ++i)
        port.post_completion(0, key, &h.block);
    ASSERT_TRUE(h.wait_until([&] { return h.blocked == static_cast<int>(processors); }));
    // Lets the free workers settle into their waits.
    std::this_thread::sleep_for(100ms);
    constexpr int packets = 50;
    platform::overlapped other{};
    for (int i = 0; i < packets; ++i)
        port.post_completion(1, key, &other);
    EXPECT_TRUE(h.wait_until([&] { return h.others == packets; }))
        << h.others << " of " << packets << " packets while " << processors << " handlers block";
    connected_pair p;
    ASSERT_TRUE(port.associate_socket(p.a, key));
    char in[16];
    platform::overlapped receive{};
    ASSERT_TRUE(platform::completion_follows(platform::post_receive(p.a, platform::io_buffer{sizeof in, in}, &receive)));
    ASSERT_EQ(platform::send_all(p.b, "x", 1, 5000), 0u);
    EXPECT_TRUE(h.wait_until([&] { return h.others == packets + 1; }))
        << "the receive did not complete while " << processors << " handlers block";
    h.release();
    port.stop_thread_pool();
    close_quietly(reg);
}

// The thread that collects socket events also runs their handlers; one that blocks there
// must not leave the other sockets unheard.
TEST(proxy_io_completion_port, a_handler_blocking_the_collecting_thread_holds_up_no_socket)
{
    proxy::io_completion_port port(std::max(1u, std::thread::hardware_concurrency()));
    holding_handler h;
    std::uint32_t e = 0;
    platform::socket_handle reg = platform::open_tcp_socket(e);
    auto registration = port.associate_device(reg, h.handler());
    const bool ok = registration.valid();
    const std::uintptr_t key = registration.key();
    ASSERT_TRUE(ok);
    port.start_thread_pool();
    connected_pair one;
    connected_pair two;
    ASSERT_TRUE(port.associate_socket(one.a, key));
    ASSERT_TRUE(port.associate_socket(two.a, key));
    char in_one[16];
    char in_two[16];
    platform::overlapped second{};
    // Several rounds, so that the port has settled into its steady roles before one blocks.
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(platform::completion_follows(
            platform::post_receive(two.a, platform::io_buffer{sizeof in_two, in_two}, &second)));
        ASSERT_EQ(platform::send_all(two.b, "w", 1, 5000), 0u);
        ASSERT_TRUE(h.wait_until([&] { return h.others == round; }));
    }
    ASSERT_TRUE(platform::completion_follows(
        platform::post_receive(one.a, platform::io_buffer{sizeof in_one, in_one}, &h.block)));
    ASSERT_EQ(platform::send_all(one.b, "x", 1, 5000), 0u);
    ASSERT_TRUE(h.wait_until([&] { return h.blocked == 1; }));
    ASSERT_TRUE(platform::completion_follows(
        platform::post_receive(two.a, platform::io_buffer{sizeof in_two, in_two}, &second)));
    ASSERT_EQ(platform::send_all(two.b, "y", 1, 5000), 0u);
    EXPECT_TRUE(h.wait_until([&] { return h.others == 4; }))
        << "a receive did not complete while the collecting thread's handler blocked";
    h.release();
    port.stop_thread_pool();
    close_quietly(reg);
}

TEST(proxy_io_completion_port, stop_with_completions_in_flight)
{
    proxy::io_completion_port port(2);
    std::atomic<int> calls{0};
    std::uint32_t e = 0;
    platform::socket_handle s = platform::open_tcp_socket(e);
    auto registration = port.associate_device(s, [&](std::uint32_t, platform::overlapped*, int) {
        ++calls;
        return true;
    });
    ASSERT_TRUE(registration.valid());
    const std::uintptr_t handler_key = registration.key();
    platform::overlapped ov{};
    for (int round = 0; round < 3; ++round) {
        port.start_thread_pool();
        std::atomic<bool> posting{true};
        std::thread poster([&] {
            for (int i = 0; i < 20000 && posting; ++i)
                port.post_completion(1, handler_key, &ov);
        });
        std::this_thread::sleep_for(5ms);
        port.stop_thread_pool();  // must return with packets still arriving
        EXPECT_EQ(port.thread_count(), 0u);
        posting = false;
        poster.join();
    }
    // A restarted pool still delivers.
    const int before = calls.load();
    port.start_thread_pool();
    port.post_completion(1, handler_key, &ov);
    for (int i = 0; i < 500 && calls.load() == before; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_GT(calls.load(), before);
    port.stop_thread_pool();
    close_quietly(s);
}

}  // namespace

namespace {

// A handler that parks on the records it is told to and records what it saw.
struct parking_handler {
    std::mutex mutex;
    std::condition_variable changed;
    platform::overlapped park{};
    bool let_go = false;
    int parked = 0;
    std::atomic<int> returned{0};
    std::atomic<int> calls{0};

    proxy::completion_handler handler(std::function<void(platform::overlapped*)> also = {})
    {
        return [this, also](std::uint32_t, platform::overlapped* ov, int) {
            ++calls;
            if (also)
                also(ov);
            if (ov == &park) {
                std::unique_lock lock(mutex);
                ++parked;
                changed.notify_all();
                changed.wait(lock, [this] { return let_go; });
            }
            ++returned;
            return true;
        };
    }
    bool wait_parked(int n)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return parked >= n; });
    }
    void release_parked()
    {
        std::lock_guard lock(mutex);
        let_go = true;
        changed.notify_all();
    }
};

}  // namespace

TEST(proxy_io_completion_port, a_release_waits_for_the_running_handler_and_ends_all_later_ones)
{
    proxy::io_completion_port port(2);
    parking_handler h;
    std::uint32_t e = 0;
    platform::unique_socket s = platform::make_udp_socket(e);
    ASSERT_EQ(platform::bind_ipv4(s.get(), loopback(), 0), 0u);
    auto registration = port.associate_device(s.get(), h.handler());
    ASSERT_TRUE(registration.valid());
    const std::uintptr_t key = registration.key();
    port.start_thread_pool();
    ASSERT_TRUE(port.post_completion(0, key, &h.park));
    ASSERT_TRUE(h.wait_parked(1));

    std::atomic<bool> release_returned{false};
    int returned_when_released = -1;
    std::thread releaser([&] {
        registration.release();
        returned_when_released = h.returned.load();
        release_returned = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(release_returned.load()) << "the release did not wait for the running handler";
    h.release_parked();
    releaser.join();
    EXPECT_EQ(returned_when_released, 1);

    // Released: packets and operations of its sockets reach nobody, and it binds no socket.
    const int calls = h.calls.load();
    platform::overlapped later{};
    ASSERT_TRUE(port.post_completion(1, key, &later));
    char in[8];
    platform::overlapped receive{};
    ASSERT_TRUE(platform::completion_follows(
        platform::post_receive(s.get(), platform::io_buffer{sizeof in, in}, &receive)));
    s.close();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(h.calls.load(), calls);
    platform::unique_socket other = platform::make_udp_socket(e);
    EXPECT_FALSE(port.associate_socket(other.get(), key));
    port.stop_thread_pool();
}

TEST(proxy_io_completion_port, a_release_from_inside_the_handler_waits_only_for_the_other_runs)
{
    proxy::io_completion_port port(2);
    parking_handler h;
    proxy::completion_registration registration;
    platform::overlapped release_here{};
    std::atomic<int> returned_when_released{-1};
    std::uint32_t e = 0;
    platform::unique_socket s = platform::make_udp_socket(e);
    registration = port.associate_device(s.get(), h.handler([&](platform::overlapped* ov) {
        if (ov != &release_here)
            return;
        registration.release();
        returned_when_released = h.returned.load();
    }));
    ASSERT_TRUE(registration.valid());
    const std::uintptr_t key = registration.key();
    port.start_thread_pool();
    // One run parks on a worker; the run that releases must wait for it, not for itself.
    ASSERT_TRUE(port.post_completion(0, key, &h.park));
    ASSERT_TRUE(h.wait_parked(1));
    ASSERT_TRUE(port.post_completion(0, key, &release_here));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(returned_when_released.load(), -1) << "released while another run was inside";
    h.release_parked();
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (h.returned.load() < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(h.returned.load(), 2) << "the releasing run did not return";
    EXPECT_EQ(returned_when_released.load(), 1);
    port.stop_thread_pool();
}

// Owners come and go while their sockets' operations and posted packets are still queued:
// once a release has returned, nothing of that registration may run.
TEST(proxy_io_completion_port, no_handler_runs_after_its_release_under_churn)
{
    proxy::io_completion_port port(2);
    port.start_thread_pool();
    // Lives to the end: Windows writes an aborted operation's record whenever it completes.
    struct owner {
        std::atomic<bool> released{false};
        platform::overlapped packets[2]{};
        platform::overlapped receive{};
        char in[8];
    };
    std::atomic<int> ran{0};
    std::atomic<int> after_release{0};
    // Under Wine every socket costs a round trip to the Wine server.
    const int cycles = platform::running_under_wine() ? 2000 : 10000;
    std::vector<std::unique_ptr<owner>> owners;
    owners.reserve(static_cast<std::size_t>(cycles));
    for (int i = 0; i < cycles; ++i) {
        owners.push_back(std::make_unique<owner>());
        owner* o = owners.back().get();
        std::uint32_t e = 0;
        platform::unique_socket s = platform::make_udp_socket(e);
        ASSERT_EQ(platform::bind_ipv4(s.get(), loopback(), 0), 0u);
        auto registration = port.associate_device(s.get(), [o, &ran, &after_release](std::uint32_t, platform::overlapped*, int) {
            if (o->released.load())
                ++after_release;
            ++ran;
            return true;
        });
        ASSERT_TRUE(registration.valid());
        for (auto& p : o->packets)
            port.post_completion(0, registration.key(), &p);
        platform::post_receive(s.get(), platform::io_buffer{sizeof o->in, o->in}, &o->receive);
        s.close();
        registration.release();
        o->released = true;
    }
    port.stop_thread_pool();
    EXPECT_EQ(after_release.load(), 0);
    EXPECT_GT(ran.load(), 0) << "no completion was ever in flight at a release";
}

// Accepts posted on a listener take the connections that arrive and end with the listener;
// each completes once.
TEST(proxy_io_completion_port, posted_accepts_take_connections_and_end_with_their_listener)
{
    proxy::io_completion_port port(2);
    recorder r;
    std::uint32_t e = 0;
    platform::unique_socket listener = platform::make_tcp_socket(e);
    std::uint16_t listen_port = 0;
    ASSERT_EQ(platform::bind_ipv4(listener.get(), loopback(), 0), 0u);
    ASSERT_EQ(platform::local_port(listener.get(), listen_port), 0u);
    ASSERT_EQ(platform::listen_socket(listener.get()), 0u);
    auto registration = port.associate_device(listener.get(), r.handler());
    ASSERT_TRUE(registration.valid());
    port.start_thread_pool();

    struct slot {
        platform::accept_buffer buffer{};
        platform::overlapped ov{};
    };
    slot slots[3];
    for (slot& s : slots)
        ASSERT_TRUE(platform::completion_follows(platform::post_accept(listener.get(), s.buffer, &s.ov)));
    const platform::socket_handle clients[2] = {proxy_test::connect_client(listen_port),
                                                proxy_test::connect_client(listen_port)};
    std::vector<std::uint16_t> client_ports;
    for (platform::socket_handle c : clients) {
        std::uint16_t p = 0;
        ASSERT_EQ(platform::local_port(c, p), 0u);
        client_ports.push_back(p);
    }
    // Posted first, taken first on both systems; each accepted socket is the client's peer
    // and carries its bytes.
    for (int i = 0; i < 2; ++i) {
        const auto got = r.wait(&slots[i].ov);
        ASSERT_EQ(got.success, 1) << "accept " << i;
        platform::unique_socket accepted(platform::take_accepted(listener.get(), slots[i].buffer, true));
        ASSERT_TRUE(accepted.valid());
        in_addr address{};
        std::uint16_t peer_port = 0;
        ASSERT_EQ(platform::peer_ipv4(accepted.get(), address, peer_port), 0u);
        const auto which = std::find(client_ports.begin(), client_ports.end(), peer_port);
        ASSERT_NE(which, client_ports.end());
        const platform::socket_handle client = clients[which - client_ports.begin()];
        ASSERT_EQ(platform::send_all(client, "hi", 2, 5000), 0u);
        char in[8];
        std::size_t received = 0;
        EXPECT_EQ(platform::receive_some(accepted.get(), in, sizeof in, received, 5000), 0u);
        EXPECT_EQ(received, 2u);
    }

    listener.close();
    const auto last = r.wait(&slots[2].ov);
    EXPECT_EQ(last.success, 0) << "the listener's close must end its last accept";
    EXPECT_EQ(platform::take_accepted(platform::invalid_socket, slots[2].buffer, false), platform::invalid_socket);
    std::this_thread::sleep_for(50ms);
    for (slot& s : slots)
        EXPECT_EQ(r.count(&s.ov), 1);
    for (platform::socket_handle c : clients)
        close_quietly(c);
    port.stop_thread_pool();
}
