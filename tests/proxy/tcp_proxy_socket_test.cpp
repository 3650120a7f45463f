// The relay steps of one connection driven by hand: completions are taken from a port
// that has no workers and dispatched by the test, so a send completion can be held back
// and the ring observed while it is full.

#include "proxy/tcp_proxy_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "platform/completion_port.h"
#include "proxy_test_peer.h"

namespace {

using namespace std::chrono_literals;
using proxy_test::connected_pair;
using proxy_test::pattern;

constexpr std::uint32_t ring = proxy::tcp_proxy_socket::ring_size;

TEST(proxy_tcp_relay_ring, full_ring_stalls_and_data_wraps_without_a_send_crossing_the_end)
{
    platform::completion_port port;
    connected_pair client_side;  // a: the accepted local socket, b: the client
    connected_pair remote_side;  // a: the remote socket, b: the destination
    ASSERT_TRUE(port.associate(client_side.a, 1));
    ASSERT_TRUE(port.associate(remote_side.a, 1));
    proxy::tcp_proxy_socket relay(platform::unique_socket(client_side.a), platform::unique_socket(remote_side.a), nullptr, {}, log_level::none);
    client_side.a = remote_side.a = platform::invalid_socket;  // owned by the relay now
    relay.set_connection_status(proxy::connection_status::connected);
    ASSERT_TRUE(relay.start());

    const std::vector<char> sent = pattern(100000 + 5 * ring + 777, 7);
    auto destination = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(100ms);
        return proxy_test::receive_all(remote_side.b, sent.size(), 10000);
    });
    // The first 100000 bytes: more than the ring holds.
    ASSERT_EQ(platform::send_all(client_side.b, sent.data(), 100000, 5000), 0u);

    // Dispatch everything but the remote send completions until the port goes quiet.
    std::vector<platform::completion> held;
    for (int i = 0; i < 10000; ++i) {
        const platform::completion c = port.dequeue(200);
        if (!c.dequeued)
            break;
        auto* ctx = proxy::per_io_context::from(c.ov);
        if (ctx->kind == proxy::io_kind::write && !ctx->is_local)
            held.push_back(c);
        else
            proxy::dispatch_completion(c.bytes, ctx, c.success ? 1 : 0);
    }
    auto state = relay.snapshot();
    ASSERT_EQ(held.size(), 1u);  // one send outstanding per socket
    EXPECT_EQ(state.local_receive, 0u) << "a full ring must not post another receive";
    EXPECT_EQ(state.upstream_receive_at, state.upstream_send_at);

    // Release the held send, send the rest and relay everything; no send may cross the end.
    proxy::dispatch_completion(held[0].bytes, proxy::per_io_context::from(held[0].ov), 1);
    EXPECT_NE(relay.snapshot().local_receive, 0u) << "the freed space must resume the client";
    auto writer = std::async(std::launch::async, [&] {
        return platform::send_all(client_side.b, sent.data() + 100000, sent.size() - 100000, 10000);
    });
    bool crossed = false;
    for (int i = 0; i < 100000 && destination.wait_for(0ms) != std::future_status::ready; ++i) {
        const platform::completion c = port.dequeue(50);
        if (!c.dequeued)
            continue;
        proxy::dispatch_completion(c.bytes, proxy::per_io_context::from(c.ov), c.success ? 1 : 0);
        state = relay.snapshot();
        crossed |= state.remote_send != 0 && state.remote_send_offset + state.remote_send > ring;
    }
    EXPECT_EQ(writer.get(), 0u);
    EXPECT_FALSE(crossed);
    const std::vector<char> got = destination.get();
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    relay.abort();
    // Let the aborted operations complete before the relay and the port go away.
    for (int i = 0; i < 100; ++i) {
        const platform::completion c = port.dequeue(20);
        if (!c.dequeued)
            break;
        proxy::dispatch_completion(c.bytes, proxy::per_io_context::from(c.ov), c.success ? 1 : 0);
    }
}

}  // namespace
