// The UDP relays end to end on loopback: a client sends datagrams with the 10-byte header to
// the server, destinations answer, and the answers must come back wrapped byte for byte.
// Also the relay objects' life (idle expiry on an injected clock), hostile datagrams, a
// server receive that cannot be re-posted, and the SOCKS5 server against scripted proxies
// that refuse, stay silent, drip their answer or answer late.

#include "proxy/udp_proxy_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/wine_detection.h"
#include "proxy/socks5_udp_proxy_server.h"
#include "proxy/socks5_udp_proxy_socket.h"
#include "proxy_test_peer.h"
#include "proxy_udp_peer.h"

namespace {

using namespace std::chrono_literals;
using proxy_test::ipv4;
using proxy_test::udp_peer;
using proxy_test::with_header;

const net::ip_address_v4 loopback_v4{127, 0, 0, 1};

std::vector<std::uint8_t> bytes_of(std::size_t n, std::uint8_t seed)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(seed + i * 7);
    return v;
}

// A steady clock the test moves by hand.
struct fake_clock {
    static inline std::atomic<std::int64_t> offset_ns{0};
    static std::chrono::steady_clock::time_point now()
    {
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(offset_ns.load()));
    }
};

struct log_sink {
    std::mutex mutex;
    std::vector<std::string> lines;
    log_printer printer()
    {
        return [this](const char* line) {
            std::lock_guard lock(mutex);
            lines.emplace_back(line);
        };
    }
    int count(const std::string& part)
    {
        std::lock_guard lock(mutex);
        int n = 0;
        for (auto& l : lines)
            n += l.find(part) != std::string::npos;
        return n;
    }
};

// Fails the server's receive posts while `failures` is above 0.
class flaky_udp_proxy_server : public proxy::udp_proxy_server {
public:
    using udp_proxy_server::udp_proxy_server;
    std::atomic<int> failures{0};

protected:
    std::uint32_t post_server_receive() override
    {
        if (failures.load() > 0) {
            --failures;
            return platform::error_not_enough_memory;
        }
        return udp_proxy_server::post_server_receive();
    }
};

template <class Server = proxy::udp_proxy_server>
struct udp_relay {
    proxy::io_completion_port port{2};
    log_sink log;
    std::unique_ptr<Server> server;

    explicit udp_relay(log_level level = log_level::all, proxy::udp_clock clock = &std::chrono::steady_clock::now)
    {
        server = std::make_unique<Server>(
            0, port,
            [](net::ip_address_v4, std::uint16_t) {
                return std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<proxy::negotiate_context>>(
                    net::ip_address_v4{}, std::uint16_t{0}, nullptr);
            },
            log.printer(), level, loopback_v4, std::move(clock));
        port.start_thread_pool();
        EXPECT_TRUE(server->start());
    }
    ~udp_relay()
    {
        server->stop();
        port.stop_thread_pool();
    }
    std::uint16_t listen_port() const { return server->listen_port(); }
};

TEST(proxy_udp_relay, strips_the_header_and_wraps_the_answer_byte_for_byte)
{
    udp_relay<> r;
    udp_peer client;
    // A destination on its own loopback address, so its header bytes differ from the client's.
    // Wine sends from 127.0.0.1 whatever loopback address the socket is bound to.
    const bool distinct = !platform::running_under_wine();
    udp_peer destination(distinct ? ipv4(127, 0, 2, 53) : ipv4(127, 0, 0, 1));
    ASSERT_NE(destination.port(), 0) << "cannot bind the destination's address";

    const std::vector<std::uint8_t> payload = bytes_of(100, 3);
    const std::vector<std::uint8_t> request = with_header(destination.address(), destination.port(), payload);
    ASSERT_EQ(request.size(), 110u);
    ASSERT_TRUE(client.send_to(ipv4(127, 0, 0, 1), r.listen_port(), request));

    auto at_destination = destination.receive(5000);
    ASSERT_TRUE(at_destination);
    EXPECT_EQ(at_destination->bytes, payload);

    const std::vector<std::uint8_t> answer = bytes_of(40, 9);
    ASSERT_TRUE(destination.send_to(at_destination->from, at_destination->from_port, answer));
    auto at_client = client.receive(5000);
    ASSERT_TRUE(at_client);
    ASSERT_EQ(at_client->bytes.size(), 50u);
    const std::uint8_t expected_header[10] = {0, 0, 0, 1, 0x7F, 0, static_cast<std::uint8_t>(distinct ? 2 : 0),
                                              static_cast<std::uint8_t>(distinct ? 0x35 : 1),
                                              static_cast<std::uint8_t>(destination.port() >> 8),
                                              static_cast<std::uint8_t>(destination.port() & 0xFF)};
    EXPECT_EQ(std::vector<std::uint8_t>(at_client->bytes.begin(), at_client->bytes.begin() + 10),
              std::vector<std::uint8_t>(expected_header, expected_header + 10));
    EXPECT_TRUE(std::equal(answer.begin(), answer.end(), at_client->bytes.begin() + 10));
    EXPECT_EQ(at_client->from_port, r.listen_port());
    EXPECT_EQ(r.log.count("udp_proxy_socket: process_receive_buffer_complete: received data from local socket: 110"), 1);
    EXPECT_EQ(r.log.count("udp_proxy_socket: process_receive_buffer_complete: sending data to local socket: 40"), 1);
}

TEST(proxy_udp_relay, one_relay_socket_serves_every_destination_of_a_client)
{
    udp_relay<> r;
    udp_peer client;
    udp_peer first;
    udp_peer second;
    for (udp_peer* d : {&first, &second})
        ASSERT_TRUE(client.send_to(ipv4(127, 0, 0, 1), r.listen_port(), with_header(d->address(), d->port(), {1, 2, 3})));
    auto a = first.receive(5000);
    auto b = second.receive(5000);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->from_port, b->from_port) << "both destinations must see the same relay socket";
    EXPECT_EQ(r.server->relay_count(), 1u);

    ASSERT_TRUE(second.send_to(b->from, b->from_port, {9}));
    ASSERT_TRUE(first.send_to(a->from, a->from_port, {8}));
    std::vector<std::uint16_t> answered_from;
    for (int i = 0; i < 2; ++i) {
        auto got = client.receive(5000);
        ASSERT_TRUE(got);
        ASSERT_EQ(got->bytes.size(), 11u);
        answered_from.push_back(static_cast<std::uint16_t>((got->bytes[8] << 8) | got->bytes[9]));
        EXPECT_EQ(got->bytes[10], answered_from.back() == first.port() ? 8 : 9);
    }
    EXPECT_NE(answered_from[0], answered_from[1]);
}

TEST(proxy_udp_relay, an_endpoint_the_client_check_refuses_gets_no_relay)
{
    // The server listens on every address in the product: a stranger who finds its port must
    // not be able to have it send datagrams to a destination of the stranger's choice.
    udp_relay<> r;
    udp_peer stranger;
    udp_peer client;
    udp_peer destination;
    const std::uint16_t client_port = client.port();
    r.server->set_client_check(
        [client_port](net::ip_address_v4, std::uint16_t port) { return port == client_port; });

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(stranger.send_to(ipv4(127, 0, 0, 1), r.listen_port(),
                                     with_header(destination.address(), destination.port(), {0xEE})));
    ASSERT_TRUE(client.send_to(ipv4(127, 0, 0, 1), r.listen_port(),
                               with_header(destination.address(), destination.port(), {0x11})));
    // The server reads its socket in order: had the stranger's datagrams been relayed, they
    // would be here first.
    auto got = destination.receive(5000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, std::vector<std::uint8_t>{0x11});
    EXPECT_EQ(r.server->relay_count(), 1u);
    EXPECT_EQ(r.log.count("no redirected client has that endpoint"), 1) << "one line for the burst";
}

TEST(proxy_udp_relay, idle_relay_sockets_expire_after_three_hundred_seconds)
{
    fake_clock::offset_ns = 1'000'000'000'000;
    udp_relay<> r(log_level::none, &fake_clock::now);
    udp_peer client;
    udp_peer destination;
    auto exchange = [&] {
        if (!client.send_to(ipv4(127, 0, 0, 1), r.listen_port(), with_header(destination.address(), destination.port(), {7})))
            return false;
        auto d = destination.receive(5000);
        return d && destination.send_to(d->from, d->from_port, {7}) && client.receive(5000).has_value();
    };
    ASSERT_TRUE(exchange());
    ASSERT_EQ(r.server->relay_count(), 1u);

    struct row {
        std::int64_t advance_ns;
        std::size_t relays_after;
    } rows[] = {
        {299'000'000'000, 1},  // still fresh
        {1'000'000'000, 1},    // exactly 300 s idle: kept
        {1, 0},                // strictly more than 300 s: gone
    };
    for (const row& w : rows) {
        fake_clock::offset_ns += w.advance_ns;
        r.server->cleanup_pass();
        EXPECT_EQ(r.server->relay_count(), w.relays_after) << "after advancing " << w.advance_ns << " ns";
    }
    // The retired object goes once its aborted receive has come back.
    for (int i = 0; i < 100 && r.server->retiring_count() != 0; ++i) {
        std::this_thread::sleep_for(10ms);
        r.server->cleanup_pass();
    }
    EXPECT_EQ(r.server->retiring_count(), 0u);

    ASSERT_TRUE(exchange()) << "the client's next datagram must make a new relay socket";
    EXPECT_EQ(r.server->relays_created(), 2u);
}

TEST(proxy_udp_relay, datagrams_shorter_than_the_header_are_dropped)
{
    udp_relay<> r;
    udp_peer client;
    udp_peer destination;
    for (std::size_t length : {1u, 9u}) {
        std::vector<std::uint8_t> truncated = with_header(destination.address(), destination.port(), {});
        truncated.resize(length);
        ASSERT_TRUE(client.send_to(ipv4(127, 0, 0, 1), r.listen_port(), truncated));
    }
    // The header alone is a valid, empty datagram; it goes after the two short ones.
    ASSERT_TRUE(client.send_to(ipv4(127, 0, 0, 1), r.listen_port(), with_header(destination.address(), destination.port(), {})));
    auto d = destination.receive(5000);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->bytes.empty());
    EXPECT_EQ(r.server->relays_created(), 1u);
    EXPECT_EQ(r.log.count("dropped a datagram shorter than its header"), 2);
}

TEST(proxy_udp_relay, a_fragment_or_a_header_without_an_ipv4_destination_is_dropped)
{
    udp_relay<> r;
    udp_peer client;
    udp_peer destination;
    // Both would name the destination if bytes 4-9 were read whatever the header says.
    std::vector<std::uint8_t> fragment = with_header(destination.address(), destination.port(), {1});
    fragment[2] = 1;
    std::vector<std::uint8_t> name = with_header(destination.address(), destination.port(), {2});
    name[3] = 3;
    ASSERT_TRUE(client.send_to(ipv4(127, 0, 0, 1), r.listen_port(), fragment));
    ASSERT_TRUE(client.send_to(ipv4(127, 0, 0, 1), r.listen_port(), name));
    ASSERT_TRUE(client.send_to(ipv4(127, 0, 0, 1), r.listen_port(), with_header(destination.address(), destination.port(), {3})));
    auto d = destination.receive(5000);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes, std::vector<std::uint8_t>{3});
    EXPECT_EQ(r.log.count("dropped a datagram whose header names no IPv4 destination"), 2);
}

TEST(proxy_udp_relay, a_server_receive_that_cannot_be_posted_is_retried_and_logged)
{
    udp_relay<flaky_udp_proxy_server> r(log_level::info);
    udp_peer client;
    udp_peer destination;
    auto send = [&](std::uint8_t tag) {
        return client.send_to(ipv4(127, 0, 0, 1), r.listen_port(), with_header(destination.address(), destination.port(), {tag}));
    };
    r.server->failures = 2;  // the re-post after the next datagram, and the first retry
    ASSERT_TRUE(send(1));
    auto first = destination.receive(5000);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bytes, std::vector<std::uint8_t>{1});
    // Within a few cleanup passes the receive is back and datagrams flow again.
    ASSERT_TRUE(send(2));
    auto second = destination.receive(5000);
    ASSERT_TRUE(second) << "the server went deaf";
    EXPECT_EQ(second->bytes, std::vector<std::uint8_t>{2});
    EXPECT_EQ(r.server->failures.load(), 0);
    EXPECT_EQ(r.log.count("udp_proxy_server: failed to post the server's receive"), 1);
    EXPECT_EQ(r.log.count("udp_proxy_server: receiving datagrams again"), 1);
}

// Scripted SOCKS5 proxies on loopback. Each reads the method request and the ASSOCIATE
// request whole and answers as told; all of them then hold the control connection until the
// server closes it (bounded).
std::size_t read_exactly(platform::socket_handle s, std::uint8_t* data, std::size_t want, std::uint32_t timeout_ms)
{
    std::size_t have = 0;
    std::size_t got = 0;
    while (have < want && platform::receive_some(s, data + have, want - have, got, timeout_ms) == 0 && got != 0)
        have += got;
    return have;
}

// Reads and ignores whatever comes until the other side closes (15 s at most).
void hold_until_closed(platform::socket_handle s)
{
    std::uint8_t buffer[64];
    const auto until = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < until) {
        std::size_t got = 0;
        const std::uint32_t e = platform::receive_some(s, buffer, sizeof buffer, got, 100);
        if (e == platform::error_timed_out)
            continue;
        if (e != 0 || got == 0)
            return;
    }
}

// Answers 05 00, then (once `gate` opens, if given) a success naming 127.0.0.1:`relay_port`.
proxy_test::tcp_peer::serve_function associating_proxy(std::uint16_t relay_port, std::atomic<bool>* gate = nullptr)
{
    return [relay_port, gate](platform::socket_handle s) {
        std::uint8_t buffer[16];
        if (read_exactly(s, buffer, 3, 5000) != 3 || platform::send_all(s, "\x05\x00", 2, 5000) != 0 ||
            read_exactly(s, buffer, 10, 5000) != 10)
            return;
        for (int i = 0; gate && !gate->load() && i < 1000; ++i)
            std::this_thread::sleep_for(10ms);
        const std::uint8_t reply[10] = {5, 0, 0, 1, 127, 0, 0, 1, static_cast<std::uint8_t>(relay_port >> 8),
                                        static_cast<std::uint8_t>(relay_port & 0xFF)};
        platform::send_all(s, reply, sizeof reply, 5000);
        hold_until_closed(s);
    };
}

// Accepts and never answers.
void silent_proxy(platform::socket_handle s) { hold_until_closed(s); }

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A SOCKS5 UDP server on loopback whose gateway sends the clients on the listed ports to the
// given proxy ports, and every other client to `other_proxy`.
struct socks5_relay {
    proxy::io_completion_port port{2};
    log_sink log;
    std::unique_ptr<proxy::socks5_udp_proxy_server> server;

    socks5_relay(std::uint16_t other_proxy, std::map<std::uint16_t, std::uint16_t> proxy_of_client = {},
                 proxy::socks5_udp_limits limits = {})
    {
        server = std::make_unique<proxy::socks5_udp_proxy_server>(
            0, port,
            [other_proxy, proxy_of_client](net::ip_address_v4, std::uint16_t client_port) {
                auto it = proxy_of_client.find(client_port);
                return std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<proxy::negotiate_context>>(
                    loopback_v4, it == proxy_of_client.end() ? other_proxy : it->second, nullptr);
            },
            log.printer(), log_level::all, loopback_v4, &std::chrono::steady_clock::now, limits);
        port.start_thread_pool();
        EXPECT_TRUE(server->start());
    }
    ~socks5_relay()
    {
        server->stop();
        port.stop_thread_pool();
    }
    bool send(udp_peer& client, const std::vector<std::uint8_t>& datagram)
    {
        return client.send_to(ipv4(127, 0, 0, 1), server->listen_port(), datagram);
    }
};

TEST(proxy_socks5_udp_relay, a_refused_associate_drops_the_clients_datagrams_and_the_next_one_retries)
{
    // A SOCKS5 proxy that accepts the method but refuses every UDP ASSOCIATE (reply 07).
    proxy_test::tcp_peer refusing([](platform::socket_handle s) {
        std::uint8_t buffer[16];
        read_exactly(s, buffer, 3, 5000);
        platform::send_all(s, "\x05\x00", 2, 5000);
        read_exactly(s, buffer, 10, 5000);
        platform::send_all(s, "\x05\x07\x00\x01\x00\x00\x00\x00\x00\x00", 10, 5000);
        hold_until_closed(s);
    });
    socks5_relay r(refusing.port());
    udp_peer client;
    udp_peer destination;
    const std::string failed = "socks5_udp_proxy_server: connect_to_remote_host: ASSOCIATE command has failed: 127.0.0.1 : ";
    for (std::uint8_t tag : {1, 2}) {
        ASSERT_TRUE(r.send(client, with_header(destination.address(), destination.port(), {tag})));
        ASSERT_TRUE(eventually([&] { return r.log.count(failed) == tag; })) << "datagram " << int(tag);
    }
    EXPECT_FALSE(destination.receive(300).has_value());
    EXPECT_FALSE(client.receive(100).has_value());
    EXPECT_TRUE(eventually([&] { return r.server->relay_count() == 0; }));
    EXPECT_EQ(r.server->relays_created(), 0u);
    EXPECT_EQ(refusing.accepted(), 2) << "each datagram after a failure tries a new association";
    EXPECT_EQ(r.log.count("socks5_udp_proxy_server: associate_to_socks5_proxy: SOCKS5 ASSOCIATE has failed: "), 2);
}

TEST(proxy_socks5_udp_relay, a_silent_proxy_stalls_only_its_own_endpoint_and_stop_cuts_it_short)
{
    udp_peer proxy_relay;  // the working proxy's UDP relay
    proxy_test::tcp_peer silent(silent_proxy);
    proxy_test::tcp_peer working(associating_proxy(proxy_relay.port()));
    udp_peer stalled_client;
    udp_peer client;
    udp_peer destination;
    socks5_relay r(working.port(), {{stalled_client.port(), silent.port()}});

    ASSERT_TRUE(r.send(stalled_client, with_header(destination.address(), destination.port(), {1})));
    ASSERT_TRUE(eventually([&] { return silent.accepted() == 1; }));
    // The stalled association holds a thread, not the server: another endpoint's datagram
    // goes through at once, and its answer comes back.
    const std::vector<std::uint8_t> request = with_header(destination.address(), destination.port(), bytes_of(30, 5));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(r.send(client, request));
    auto at_relay = proxy_relay.receive(2000);
    ASSERT_TRUE(at_relay) << "the second endpoint waited for the silent proxy";
    EXPECT_LT(seconds_since(sent), 1.0);
    EXPECT_EQ(at_relay->bytes, request) << "the datagram passes unchanged, header included";
    const std::vector<std::uint8_t> answer = with_header(destination.address(), destination.port(), bytes_of(12, 8));
    ASSERT_TRUE(proxy_relay.send_to(at_relay->from, at_relay->from_port, answer));
    auto at_client = client.receive(2000);
    ASSERT_TRUE(at_client);
    EXPECT_EQ(at_client->bytes, answer);
    EXPECT_EQ(r.server->associations_in_progress(), 1u);

    const auto stopping = std::chrono::steady_clock::now();
    r.server->stop();
    EXPECT_LT(seconds_since(stopping), 1.0) << "stop() waited for the silent proxy";
    EXPECT_EQ(r.server->leaked_count(), 0u);
    EXPECT_FALSE(stalled_client.receive(100).has_value());
}

TEST(proxy_socks5_udp_relay, one_deadline_bounds_the_whole_associate)
{
    // Answers a byte a second: with a timeout per read this would succeed after ~12 s.
    std::atomic<bool> done{false};
    proxy_test::tcp_peer dripping([&done](platform::socket_handle s) {
        std::uint8_t buffer[16];
        if (read_exactly(s, buffer, 3, 5000) != 3)
            return;
        const std::uint8_t method[2] = {5, 0};
        for (std::uint8_t b : method) {
            if (platform::send_all(s, &b, 1, 1000) != 0)
                return;
            std::this_thread::sleep_for(1s);
        }
        if (read_exactly(s, buffer, 10, 5000) != 10)
            return;
        const std::uint8_t reply[10] = {5, 0, 0, 1, 127, 0, 0, 1, 0x30, 0x39};
        for (std::uint8_t b : reply) {
            if (done.load() || platform::send_all(s, &b, 1, 1000) != 0)
                return;
            std::this_thread::sleep_for(1s);
        }
    });
    socks5_relay r(dripping.port());
    udp_peer client;
    udp_peer destination;
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(r.send(client, with_header(destination.address(), destination.port(), {1})));
    ASSERT_TRUE(eventually([&] { return r.log.count("ASSOCIATE command has failed") == 1; }, 9000ms));
    const double took = seconds_since(sent);
    done = true;
    EXPECT_GT(took, 4.5);
    EXPECT_LT(took, 6.5);
    EXPECT_EQ(r.log.count("associate_to_socks5_proxy: Failed to receive SOCKS5 ASSOCIATE response: 10060"), 1);
    EXPECT_EQ(r.server->relays_created(), 0u);
    EXPECT_TRUE(eventually([&] { return r.server->relay_count() == 0; }));
}

TEST(proxy_socks5_udp_relay, datagrams_wait_for_their_association_up_to_the_bound_and_keep_their_order)
{
    udp_peer proxy_relay;
    std::atomic<bool> gate{false};
    proxy_test::tcp_peer slow(associating_proxy(proxy_relay.port(), &gate));
    socks5_relay r(slow.port());
    udp_peer client;
    udp_peer destination;
    std::vector<std::vector<std::uint8_t>> sent;
    for (std::uint8_t tag = 0; tag < 12; ++tag) {
        sent.push_back(with_header(destination.address(), destination.port(), bytes_of(20 + tag, tag)));
        ASSERT_TRUE(r.send(client, sent.back()));
    }
    ASSERT_TRUE(eventually([&] { return r.log.count(":received data from local socket: ") == 12; }));
    EXPECT_FALSE(proxy_relay.receive(200).has_value()) << "nothing may pass before the association";
    gate = true;
    for (std::size_t i = 0; i < proxy::socks5_udp_proxy_socket::default_max_queued; ++i) {
        auto got = proxy_relay.receive(3000);
        ASSERT_TRUE(got) << "queued datagram " << i;
        EXPECT_EQ(got->bytes, sent[i]) << "queued datagram " << i;
    }
    EXPECT_FALSE(proxy_relay.receive(300).has_value()) << "the queue holds at most eight";
    // Once associated, datagrams go straight through.
    const std::vector<std::uint8_t> later = with_header(destination.address(), destination.port(), {0xEE});
    ASSERT_TRUE(r.send(client, later));
    auto got = proxy_relay.receive(3000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, later);
    EXPECT_EQ(r.server->relays_created(), 1u);
    EXPECT_EQ(slow.accepted(), 1);
}

TEST(proxy_socks5_udp_relay, answers_whose_header_names_no_ipv4_source_do_not_reach_the_client)
{
    udp_peer proxy_relay;
    proxy_test::tcp_peer proxy(associating_proxy(proxy_relay.port()));
    socks5_relay r(proxy.port());
    udp_peer client;
    udp_peer destination;
    ASSERT_TRUE(r.send(client, with_header(destination.address(), destination.port(), {1})));
    auto request = proxy_relay.receive(5000);
    ASSERT_TRUE(request);

    // A fragment, a domain name and an IPv6 address, then one good answer.
    const std::vector<std::vector<std::uint8_t>> bad = {
        {0, 0, 1, 1, 127, 0, 0, 9, 0, 53, 0xBB},
        {0, 0, 0, 3, 4, 'h', 'o', 's', 't', 0, 53, 0xBB},
        {0, 0, 0, 4, 0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 53, 0xBB}};
    for (const auto& answer : bad)
        ASSERT_TRUE(proxy_relay.send_to(request->from, request->from_port, answer));
    const std::vector<std::uint8_t> good = {0, 0, 0, 1, 127, 0, 0, 9, 0, 53, 0xAA};
    ASSERT_TRUE(proxy_relay.send_to(request->from, request->from_port, good));
    auto got = client.receive(5000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, good) << "the bad answers came first and must have been dropped";
    EXPECT_EQ(r.log.count("whose header names no IPv4 source"), 3);
}

TEST(proxy_socks5_udp_relay, associations_in_progress_and_their_threads_are_bounded)
{
    proxy_test::tcp_peer silent(silent_proxy);
    proxy::socks5_udp_limits limits;
    limits.threads = 1;
    limits.max_in_progress = 2;
    socks5_relay r(silent.port(), {}, limits);
    udp_peer clients[3];
    udp_peer destination;
    for (udp_peer& c : clients) {
        ASSERT_TRUE(r.send(c, with_header(destination.address(), destination.port(), {1})));
        ASSERT_TRUE(eventually([&] { return r.log.count("from local socket") + r.log.count("too many") == 1 + (&c - clients); }));
    }
    EXPECT_EQ(r.log.count("connect_to_remote_host: too many associations in progress, datagram dropped: "), 1);
    EXPECT_EQ(r.server->associations_in_progress(), 2u);
    EXPECT_EQ(r.server->relay_count(), 2u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(silent.accepted(), 1) << "one associate thread, one connection at a time";

    const auto stopping = std::chrono::steady_clock::now();
    r.server->stop();
    EXPECT_LT(seconds_since(stopping), 1.0);
    EXPECT_EQ(r.server->associations_in_progress(), 0u);
    EXPECT_EQ(r.server->relay_count(), 0u);
}

TEST(proxy_buffer_pool, serves_from_the_smallest_class_and_keeps_at_most_a_hundred_idle)
{
    proxy::buffer_pool pool;
    struct row {
        std::uint32_t size;
        std::uint32_t capacity;  // 0: refused
    } rows[] = {{0, 32}, {32, 32}, {33, 64}, {2048, 2048}, {2049, 65536}, {65536, 65536}, {65537, 0}};
    for (const row& w : rows) {
        auto b = pool.acquire(w.size);
        if (w.capacity == 0) {
            EXPECT_EQ(b, nullptr) << w.size;
            continue;
        }
        ASSERT_NE(b, nullptr) << w.size;
        EXPECT_EQ(b->capacity, w.capacity) << w.size;
        EXPECT_EQ(b->buffer.length, w.size);
        pool.release(std::move(b));
    }
    std::vector<std::unique_ptr<proxy::pooled_buffer>> held;
    for (int i = 0; i < 150; ++i)
        held.push_back(pool.acquire(100));
    for (auto& b : held)
        pool.release(std::move(b));
    EXPECT_EQ(pool.idle_count(100), 100u);
    // A reused buffer comes back with the new length and its window at the storage start.
    auto again = pool.acquire(70);
    EXPECT_EQ(again->buffer.length, 70u);
    EXPECT_EQ(again->buffer.buffer, again->storage.get());
}

}  // namespace
