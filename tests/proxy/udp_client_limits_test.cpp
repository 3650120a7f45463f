// The direct UDP relay's bound on relay objects per client address: anyone who reaches the
// server's port could otherwise cost it one socket per source port.

#include "proxy/udp_proxy_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "proxy_udp_peer.h"

namespace {

using proxy_test::ipv4;
using proxy_test::udp_peer;
using proxy_test::with_header;

struct test_clock {
    static inline std::atomic<std::int64_t> offset_ns{0};
    static std::chrono::steady_clock::time_point now()
    {
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(offset_ns.load()));
    }
};

TEST(proxy_udp_relay, a_client_address_has_at_most_its_endpoints_and_gets_room_back_when_they_expire)
{
    test_clock::offset_ns = 1'000'000'000'000;
    proxy::io_completion_port port{2};
    std::mutex mutex;
    std::vector<std::string> lines;
    const net::ip_address_v4 loopback_v4{127, 0, 0, 1};
    proxy::udp_proxy_server server(
        0, port,
        [](net::ip_address_v4, std::uint16_t) {
            return std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<proxy::negotiate_context>>(
                net::ip_address_v4{}, std::uint16_t{0}, nullptr);
        },
        [&](const char* line) {
            std::lock_guard lock(mutex);
            lines.emplace_back(line);
        },
        log_level::info, loopback_v4, &test_clock::now, 2);
    port.start_thread_pool();
    ASSERT_TRUE(server.start());

    udp_peer destination;
    udp_peer clients[4];
    const auto loopback = ipv4(127, 0, 0, 1);
    auto reaches_destination = [&](udp_peer& client, std::uint8_t marker) {
        if (!client.send_to(loopback, server.listen_port(), with_header(loopback, destination.port(), {marker})))
            return false;
        const auto got = destination.receive(marker < 100 ? 2000 : 300);
        return got && got->bytes == std::vector<std::uint8_t>{marker};
    };

    EXPECT_TRUE(reaches_destination(clients[0], 1));
    EXPECT_TRUE(reaches_destination(clients[1], 2));
    // A third and fourth source port of the same address: dropped, one line for both.
    EXPECT_FALSE(reaches_destination(clients[2], 103));
    EXPECT_FALSE(reaches_destination(clients[3], 104));
    EXPECT_EQ(server.relay_count(), 2u);
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], "udp_proxy_server: refused a new endpoint 127.0.0.1:" + std::to_string(clients[2].port()) +
                                ": its address has 2 endpoints relayed");
    }
    // The endpoints it has keep working.
    EXPECT_TRUE(reaches_destination(clients[0], 5));

    // Once they expire, the address has room again.
    test_clock::offset_ns += std::chrono::nanoseconds(proxy::udp_proxy_server_core::idle_limit).count() + 1;
    server.cleanup_pass();
    EXPECT_EQ(server.relay_count(), 0u);
    EXPECT_TRUE(reaches_destination(clients[2], 6));
    EXPECT_TRUE(reaches_destination(clients[3], 7));

    server.stop();
    port.stop_thread_pool();
}

}  // namespace
