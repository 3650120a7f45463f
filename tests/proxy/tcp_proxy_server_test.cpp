// The direct TCP relay end to end on loopback: a client connects to the server, the server
// connects to a test peer named by the query, and bytes must arrive exactly, in order, with
// both kinds of close and with many connections at once.

#include "proxy/tcp_proxy_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "proxy_test_peer.h"

namespace {

using namespace std::chrono_literals;
using proxy_test::close_quietly;
using proxy_test::connect_client;
using proxy_test::pattern;
using proxy_test::receive_all;
using proxy_test::tcp_peer;

using direct_server = proxy::tcp_proxy_server<proxy::tcp_proxy_socket>;

const net::ip_address_v4 loopback_v4{127, 0, 0, 1};

// A server whose every connection goes to `destination_port` on loopback.
struct relay {
    proxy::io_completion_port port{2};
    std::atomic<std::uint16_t> destination_port{0};
    std::atomic<int> queries{0};
    std::mutex log_mutex;
    std::vector<std::string> lines;
    std::unique_ptr<direct_server> server;

    explicit relay(std::uint16_t destination, log_level level = log_level::none)
        : destination_port(destination)
    {
        server = std::make_unique<direct_server>(
            0, port,
            [this](net::ip_address_v4, std::uint16_t) {
                ++queries;
                return std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<proxy::negotiate_context>>(
                    loopback_v4, destination_port.load(), nullptr);
            },
            [this](const char* line) {
                std::lock_guard lock(log_mutex);
                lines.emplace_back(line);
            },
            level, loopback_v4);
        port.start_thread_pool();
        server->start();
    }
    ~relay()
    {
        server->stop();
        port.stop_thread_pool();
    }
    bool wait_established(std::size_t count, std::chrono::milliseconds limit = 5000ms)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (server->established_count() == count && server->pending_count() == 0)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
};

TEST(proxy_tcp_relay, transfers_megabytes_exactly_in_both_directions)
{
    tcp_peer destination(proxy_test::echo);
    relay r(destination.port(), log_level::all);
    const platform::socket_handle client = connect_client(r.server->listen_port());
    ASSERT_NE(client, platform::invalid_socket);

    const std::vector<char> sent = pattern(6u << 20, 1);
    auto writer = std::async(std::launch::async, [&] { return platform::send_all(client, sent.data(), sent.size(), 20000); });
    const std::vector<char> echoed = receive_all(client, sent.size(), 20000);
    EXPECT_EQ(writer.get(), 0u);
    ASSERT_EQ(echoed.size(), sent.size());
    EXPECT_TRUE(echoed == sent);
    close_quietly(client);
    EXPECT_TRUE(r.wait_established(0));

    std::lock_guard lock(r.log_mutex);
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines[0], "tcp_proxy_server: connect_to_remote_host:  127.0.0.1 : " + std::to_string(destination.port()));
    bool saw_receive = false;
    for (const auto& line : r.lines)
        saw_receive |= line.rfind("tcp_proxy_socket: process_receive_buffer_complete: data received from locally connected socket: ", 0) == 0;
    EXPECT_TRUE(saw_receive);
}

TEST(proxy_tcp_relay, a_remote_that_does_not_read_stalls_the_client_until_it_does)
{
    std::promise<void> go;
    std::shared_future<void> start_reading = go.get_future().share();
    std::promise<std::vector<char>> received;
    tcp_peer destination([&](platform::socket_handle s) {
        start_reading.wait();
        received.set_value(receive_all(s, SIZE_MAX, 5000));
    });
    relay r(destination.port());
    const platform::socket_handle client = connect_client(r.server->listen_port());
    ASSERT_NE(client, platform::invalid_socket);

    // More than the ring and every socket buffer on the way can hold.
    const std::vector<char> sent = pattern(48u << 20, 2);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        platform::send_all(client, sent.data(), sent.size(), 30000);
        platform::shutdown_socket(client);
        done = true;
    });
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(done.load()) << "the client was never held back";
    go.set_value();
    auto result = received.get_future();
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    writer.join();
    const std::vector<char> got = result.get();
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    close_quietly(client);
}

TEST(proxy_tcp_relay, data_queued_at_a_close_still_arrives)
{
    const std::vector<char> payload = pattern(3u << 20, 3);
    {
        SCOPED_TRACE("client closes first while its data is still being sent to the remote");
        std::promise<std::vector<char>> received;
        tcp_peer destination([&](platform::socket_handle s) {
            std::this_thread::sleep_for(300ms);  // let the client finish and close first
            bool end = false;
            received.set_value(receive_all(s, SIZE_MAX, 5000, &end));
            EXPECT_TRUE(end);
        });
        relay r(destination.port());
        const platform::socket_handle client = connect_client(r.server->listen_port());
        ASSERT_EQ(platform::send_all(client, payload.data(), payload.size(), 20000), 0u);
        close_quietly(client);
        auto f = received.get_future();
        ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
        EXPECT_TRUE(f.get() == payload);
        EXPECT_TRUE(r.wait_established(0));
    }
    {
        SCOPED_TRACE("remote closes first while its data is still queued for the client");
        tcp_peer destination([&](platform::socket_handle s) {
            platform::send_all(s, payload.data(), payload.size(), 20000);
        });
        relay r(destination.port());
        const platform::socket_handle client = connect_client(r.server->listen_port());
        std::this_thread::sleep_for(300ms);  // the remote has sent everything and closed
        bool end = false;
        const auto start = std::chrono::steady_clock::now();
        const std::vector<char> got = receive_all(client, SIZE_MAX, 5000, &end);
        EXPECT_TRUE(end);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << "the client was not closed by the cleanup";
        EXPECT_TRUE(got == payload);
        close_quietly(client);
        EXPECT_TRUE(r.wait_established(0));
    }
}

TEST(proxy_tcp_relay, a_remote_that_closes_is_seen_closed_by_the_client_at_once)
{
    // Servers that close first (HTTP/1.0, most short exchanges): waiting for the cleanup
    // thread's pass would cost each client up to a second, half a second on average.
    tcp_peer destination([](platform::socket_handle s) { platform::send_all(s, "bye", 3, 1000); });
    relay r(destination.port());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        const platform::socket_handle client = connect_client(r.server->listen_port());
        bool end = false;
        const std::vector<char> got = receive_all(client, SIZE_MAX, 5000, &end);
        EXPECT_TRUE(end);
        EXPECT_EQ(std::string(got.begin(), got.end()), "bye");
        close_quietly(client);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "20 closes took the cleanup thread's pace";
}

TEST(proxy_tcp_relay, ended_and_failed_connections_are_torn_down)
{
    {
        SCOPED_TRACE("a client that sends nothing and closes: 0-byte receive ends the pair");
        std::promise<bool> remote_saw_end;
        tcp_peer destination([&](platform::socket_handle s) {
            bool end = false;
            EXPECT_TRUE(receive_all(s, SIZE_MAX, 5000, &end).empty());
            remote_saw_end.set_value(end);
        });
        relay r(destination.port());
        close_quietly(connect_client(r.server->listen_port()));
        auto f = remote_saw_end.get_future();
        ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
        EXPECT_TRUE(f.get());
        EXPECT_TRUE(r.wait_established(0));
    }
    {
        SCOPED_TRACE("the destination refuses: the client is closed, nothing stays behind");
        std::uint16_t closed_port = 0;
        {
            tcp_peer gone([](platform::socket_handle) {});
            closed_port = gone.port();
        }
        relay r(closed_port);
        for (int i = 0; i < 5; ++i) {
            const platform::socket_handle client = connect_client(r.server->listen_port());
            ASSERT_NE(client, platform::invalid_socket);
            bool end = false;
            EXPECT_TRUE(receive_all(client, SIZE_MAX, 5000, &end).empty());
            EXPECT_TRUE(end);
            close_quietly(client);
        }
        EXPECT_TRUE(r.wait_established(0));
    }
    {
        SCOPED_TRACE("unknown destination (port 0): refused at once");
        relay r(0);
        const platform::socket_handle client = connect_client(r.server->listen_port());
        bool end = false;
        EXPECT_TRUE(receive_all(client, SIZE_MAX, 5000, &end).empty());
        EXPECT_TRUE(end);
        close_quietly(client);
        EXPECT_EQ(r.server->established_count(), 0u);
    }
}

TEST(proxy_tcp_relay, two_hundred_concurrent_connections)
{
    tcp_peer destination(proxy_test::echo);
    relay r(destination.port());
    constexpr int count = 200;
    std::vector<platform::socket_handle> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(connect_client(r.server->listen_port()));
        ASSERT_NE(clients.back(), platform::invalid_socket);
    }
    std::vector<std::vector<char>> sent;
    for (int i = 0; i < count; ++i) {
        sent.push_back(pattern(16384 + static_cast<std::size_t>(i), 100 + static_cast<std::uint32_t>(i)));
        ASSERT_EQ(platform::send_all(clients[i], sent[i].data(), sent[i].size(), 10000), 0u);
    }
    int exact = 0;
    for (int i = 0; i < count; ++i)
        exact += receive_all(clients[i], sent[i].size(), 10000) == sent[i];
    EXPECT_EQ(exact, count);
    EXPECT_EQ(r.queries.load(), count);
    for (auto c : clients)
        close_quietly(c);
    EXPECT_TRUE(r.wait_established(0, 10000ms));
}

TEST(proxy_tcp_relay, connects_beyond_the_wait_limit_are_queued_not_lost)
{
    // A destination whose accept queue is full drops further SYNs, so the server's outgoing
    // connects stay in progress: more of them than one wait can cover.
    tcp_peer destination(proxy_test::echo, 1, false);
    relay r(destination.port());
    constexpr int count = 70;
    std::vector<platform::socket_handle> clients;
    for (int i = 0; i < count; ++i)
        clients.push_back(connect_client(r.server->listen_port()));
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (r.server->pending_count() < 64 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    if (r.server->pending_count() < 64) {
        for (auto c : clients)
            close_quietly(c);
        GTEST_SKIP() << "this host completes loopback connects to a full accept queue";
    }
    destination.start_accepting();
    int exact = 0;
    for (int i = 0; i < count; ++i) {
        const std::vector<char> sent = pattern(1000, static_cast<std::uint32_t>(i));
        if (platform::send_all(clients[i], sent.data(), sent.size(), 30000) == 0)
            exact += receive_all(clients[i], sent.size(), 30000) == sent;
    }
    EXPECT_EQ(exact, count);
    for (auto c : clients)
        close_quietly(c);
    EXPECT_TRUE(r.wait_established(0, 10000ms));
}

// One client holding hundreds of connects to an address that never answers must not hold up
// anybody else's new connection: each connect completes on its own.
TEST(proxy_tcp_relay, pending_connects_to_a_blackhole_delay_no_other_connection)
{
    tcp_peer blackhole(proxy_test::echo, 1, false);
    tcp_peer live(proxy_test::echo);
    relay r(blackhole.port());
    auto one_round_trip = [&] {
        const auto start = std::chrono::steady_clock::now();
        const platform::socket_handle c = connect_client(r.server->listen_port());
        const std::vector<char> sent = pattern(100, 7);
        const bool echoed = platform::send_all(c, sent.data(), sent.size(), 5000) == 0 &&
                            receive_all(c, sent.size(), 5000) == sent;
        close_quietly(c);
        return echoed ? std::chrono::steady_clock::now() - start : std::chrono::steady_clock::duration::max();
    };
    constexpr std::size_t held = 500;
    std::vector<platform::socket_handle> clients;
    for (std::size_t i = 0; i < held; ++i)
        clients.push_back(connect_client(r.server->listen_port()));
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (r.server->pending_count() < held - 10 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    if (r.server->pending_count() < held - 10) {
        for (auto c : clients)
            close_quietly(c);
        GTEST_SKIP() << "this host completes loopback connects to a full accept queue";
    }
    r.destination_port = live.port();
    // The best of a few, so that a scheduling hiccup of a loaded test machine does not count;
    // a connect waiting behind the others took hundreds of milliseconds.
    auto best = std::chrono::steady_clock::duration::max();
    for (int i = 0; i < 5; ++i)
        best = std::min(best, one_round_trip());
    EXPECT_LT(best, 100ms) << "while " << r.server->pending_count() << " connects were pending";
    EXPECT_GE(r.server->pending_count(), held - 10);
    for (auto c : clients)
        close_quietly(c);
}

// A connect that fails after it was posted (nobody listens any more) closes the client's
// connection and leaves nothing behind.
TEST(proxy_tcp_relay, a_connect_failing_later_tears_the_pair_down)
{
    std::uint16_t closed_port = 0;
    {
        tcp_peer gone([](platform::socket_handle) {});
        closed_port = gone.port();
    }
    relay r(closed_port);
    for (int i = 0; i < 20; ++i) {
        const platform::socket_handle c = connect_client(r.server->listen_port());
        std::vector<char> in(16);
        std::size_t got = 1;
        const std::uint32_t e = platform::receive_some(c, in.data(), in.size(), got, 5000);
        EXPECT_TRUE(e != 0 || got == 0) << "the client's connection stays open";
        close_quietly(c);
    }
    EXPECT_TRUE(r.wait_established(0, 5000ms));
}

TEST(proxy_tcp_relay, stop_with_traffic_in_flight)
{
    tcp_peer destination(proxy_test::echo);
    auto r = std::make_unique<relay>(destination.port());
    std::vector<std::thread> clients;
    std::atomic<bool> running{true};
    for (int i = 0; i < 16; ++i) {
        clients.emplace_back([&, i] {
            const platform::socket_handle c = connect_client(r->server->listen_port());
            const std::vector<char> chunk = pattern(65536, static_cast<std::uint32_t>(i));
            std::vector<char> in(65536);
            while (running) {
                std::size_t got = 0;
                if (platform::send_all(c, chunk.data(), chunk.size(), 2000) != 0 ||
                    platform::receive_some(c, in.data(), in.size(), got, 2000) != 0 || got == 0)
                    break;
            }
            close_quietly(c);
        });
    }
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    r->server->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    running = false;
    for (auto& t : clients)
        t.join();
    r.reset();  // stops the pool and destroys the port after the server
}

}  // namespace
