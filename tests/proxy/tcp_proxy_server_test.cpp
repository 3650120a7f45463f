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

    explicit relay(std::uint16_t destination, log_level level = log_level::none, proxy::tcp_proxy_limits limits = {})
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
            level, loopback_v4, limits);
        port.start_thread_pool();
        server->start();
    }
    ~relay()
    {
        server->stop();
        port.stop_thread_pool();
    }
    // The lines that start with `start`, once there is at least one (the server logs a
    // refusal after it has reset the connection) or the wait is over.
    std::vector<std::string> lines_starting(const std::string& start)
    {
        std::vector<std::string> found;
        const auto until = std::chrono::steady_clock::now() + 2s;
        do {
            {
                std::lock_guard lock(log_mutex);
                for (const auto& line : lines) {
                    if (line.rfind(start, 0) == 0)
                        found.push_back(line);
                }
            }
            if (!found.empty())
                break;
            std::this_thread::sleep_for(10ms);
        } while (std::chrono::steady_clock::now() < until);
        return found;
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

// A client connection from another loopback address: the server tells clients apart by it.
platform::socket_handle connect_client_from(const net::ip_address_v4& from, std::uint16_t port)
{
    std::uint32_t e = 0;
    platform::socket_handle s = platform::open_tcp_socket(e);
    if (s == platform::invalid_socket)
        return s;
    if (platform::bind_ipv4(s, from.to_in_addr(), 0) != 0 ||
        platform::connect_ipv4_wait(s, proxy_test::loopback(), port, 5000) != 0) {
        platform::close_socket(s);
        return platform::invalid_socket;
    }
    return s;
}

bool echoes(platform::socket_handle c, std::uint32_t seed)
{
    const std::vector<char> sent = pattern(2000, seed);
    return platform::send_all(c, sent.data(), sent.size(), 5000) == 0 && receive_all(c, sent.size(), 5000) == sent;
}

// A connection of `from` that the server resets: either the connect already fails on the
// reset, or the client sees its end at once, not after a timeout.
bool refused_promptly(const net::ip_address_v4& from, std::uint16_t port)
{
    const auto start = std::chrono::steady_clock::now();
    const platform::socket_handle c = connect_client_from(from, port);
    if (c == platform::invalid_socket)
        return true;
    bool end = false;
    const bool nothing = receive_all(c, SIZE_MAX, 3000, &end).empty();
    close_quietly(c);
    return nothing && end && std::chrono::steady_clock::now() - start < 2s;
}

const net::ip_address_v4 client_a{127, 0, 0, 2};
const net::ip_address_v4 client_b{127, 0, 0, 3};

TEST(proxy_tcp_relay, a_client_at_its_connection_limit_is_refused_and_others_are_not)
{
    tcp_peer destination(proxy_test::echo);
    proxy::tcp_proxy_limits limits;
    limits.connections_per_client = 3;
    relay r(destination.port(), log_level::info, limits);

    std::vector<platform::socket_handle> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(connect_client_from(client_a, r.server->listen_port()));
        ASSERT_NE(held.back(), platform::invalid_socket);
        ASSERT_TRUE(echoes(held.back(), static_cast<std::uint32_t>(i)));
        if (i == 0 && r.server->client_counts(client_a).relayed == 0) {
            close_quietly(held.back());
            GTEST_SKIP() << "this host does not keep a client's loopback source address (Wine)";
        }
    }
    EXPECT_EQ(r.server->client_counts(client_a).relayed, 3u);

    // A flood of refused connections: each is reset, one log line stands for the burst.
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(refused_promptly(client_a, r.server->listen_port())) << "refusal " << i;
    const auto refusals = r.lines_starting("tcp_proxy_server: refused a connection of 127.0.0.2: ");
    ASSERT_GE(refusals.size(), 1u);
    EXPECT_LE(refusals.size(), 3u) << "the refusals flooded the log";
    EXPECT_EQ(refusals[0], "tcp_proxy_server: refused a connection of 127.0.0.2: it has 3 connections relayed");
    EXPECT_EQ(r.server->client_counts(client_a).relayed, 3u);
    EXPECT_EQ(r.server->client_counts(client_a).pending, 0u) << "a refusal left a count behind";

    // Another client is not affected, and the held connections still work.
    const platform::socket_handle other = connect_client_from(client_b, r.server->listen_port());
    ASSERT_NE(other, platform::invalid_socket);
    EXPECT_TRUE(echoes(other, 50));
    for (auto c : held)
        EXPECT_TRUE(echoes(c, 60));

    // Once its connections are gone, the client gets in again.
    for (auto c : held)
        close_quietly(c);
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (r.server->client_counts(client_a).relayed != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(r.server->client_counts(client_a).relayed, 0u);
    const platform::socket_handle again = connect_client_from(client_a, r.server->listen_port());
    ASSERT_NE(again, platform::invalid_socket);
    EXPECT_TRUE(echoes(again, 70));
    close_quietly(again);
    close_quietly(other);
    EXPECT_TRUE(r.wait_established(0));
}

TEST(proxy_tcp_relay, a_client_at_its_pending_connect_limit_is_refused_and_others_are_not)
{
    // A destination that never accepts keeps the server's connects pending.
    tcp_peer blackhole(proxy_test::echo, 1, false);
    proxy::tcp_proxy_limits limits;
    limits.pending_connects_per_client = 4;
    relay r(blackhole.port(), log_level::info, limits);

    // The first connects fill the destination's accept queue and complete; a client of
    // their own takes them, so that client A's stay pending.
    const net::ip_address_v4 filler_client{127, 0, 0, 4};
    std::vector<platform::socket_handle> fillers;
    for (int i = 0; i < 3; ++i)
        fillers.push_back(connect_client_from(filler_client, r.server->listen_port()));
    std::this_thread::sleep_for(200ms);
    const auto filler_counts = r.server->client_counts(filler_client);
    if (filler_counts.pending + filler_counts.relayed == 0) {
        for (auto c : fillers)
            close_quietly(c);
        GTEST_SKIP() << "this host does not keep a client's loopback source address (Wine)";
    }
    std::vector<platform::socket_handle> held;
    for (int i = 0; i < 4; ++i)
        held.push_back(connect_client_from(client_a, r.server->listen_port()));
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (r.server->client_counts(client_a).pending < 4 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    // Loopback connects to a full accept queue may also complete or fail here.
    if (r.server->client_counts(client_a).pending < 4) {
        for (auto c : held)
            close_quietly(c);
        for (auto c : fillers)
            close_quietly(c);
        GTEST_SKIP() << "this host completes loopback connects to a full accept queue";
    }
    EXPECT_TRUE(refused_promptly(client_a, r.server->listen_port()));
    const auto refusals = r.lines_starting("tcp_proxy_server: refused a connection of 127.0.0.2: ");
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0], "tcp_proxy_server: refused a connection of 127.0.0.2: it has 4 connects pending");

    // Client B's connection is taken and its connect goes out like the others.
    const platform::socket_handle other = connect_client_from(client_b, r.server->listen_port());
    ASSERT_NE(other, platform::invalid_socket);
    const auto b_until = std::chrono::steady_clock::now() + 5s;
    while (r.server->client_counts(client_b).pending == 0 && std::chrono::steady_clock::now() < b_until)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(r.server->client_counts(client_b).pending, 1u);

    // When the destination starts accepting, the pending ones become relayed and A may
    // start new connects again.
    blackhole.start_accepting();
    for (std::size_t i = 0; i < held.size(); ++i)
        EXPECT_TRUE(echoes(held[i], static_cast<std::uint32_t>(i))) << i;
    EXPECT_EQ(r.server->client_counts(client_a).pending, 0u);
    EXPECT_EQ(r.server->client_counts(client_a).relayed, 4u);
    const platform::socket_handle again = connect_client_from(client_a, r.server->listen_port());
    EXPECT_TRUE(echoes(again, 80));
    for (auto c : held)
        close_quietly(c);
    for (auto c : fillers)
        close_quietly(c);
    close_quietly(again);
    close_quietly(other);
    EXPECT_TRUE(r.wait_established(0, 10000ms));
}

}  // namespace
