#pragma once
// Loopback peers for the proxy tests: a TCP server on 127.0.0.1 port 0 that serves each
// connection on its own thread, and blocking client helpers. Every wait is bounded.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace proxy_test {

inline in_addr loopback()
{
    in_addr a;
    const unsigned char bytes[4] = {127, 0, 0, 1};
    std::memcpy(&a, bytes, 4);
    return a;
}

inline void close_quietly(platform::socket_handle s)
{
    if (s != platform::invalid_socket)
        platform::close_socket(s);
}

// Position-dependent bytes, so a lost, doubled or reordered chunk shows as a mismatch.
inline std::vector<char> pattern(std::size_t size, std::uint32_t seed)
{
    std::vector<char> v(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = static_cast<char>(x >> 24);
    }
    return v;
}

inline platform::socket_handle connect_client(std::uint16_t port)
{
    std::uint32_t e = 0;
    platform::socket_handle s = platform::open_tcp_socket(e);
    if (s == platform::invalid_socket)
        return s;
    if (platform::connect_ipv4_wait(s, loopback(), port, 5000) != 0) {
        platform::close_socket(s);
        return platform::invalid_socket;
    }
    return s;
}

// Reads until end of stream, an error, `limit` bytes or the timeout.
inline std::vector<char> receive_all(platform::socket_handle s, std::size_t limit,
                                     std::uint32_t timeout_ms, bool* saw_end = nullptr)
{
    std::vector<char> out;
    std::vector<char> buffer(65536);
    if (saw_end)
        *saw_end = false;
    while (out.size() < limit) {
        std::size_t got = 0;
        const std::uint32_t e = platform::receive_some(s, buffer.data(), buffer.size(), got, timeout_ms);
        if (e != 0 || got == 0) {
            if (saw_end)
                *saw_end = (e == 0 || e == platform::error_connection_reset);
            break;
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    }
    return out;
}

// Sends back everything it receives until end of stream.
inline void echo(platform::socket_handle s)
{
    std::vector<char> buffer(65536);
    for (;;) {
        std::size_t got = 0;
        if (platform::receive_some(s, buffer.data(), buffer.size(), got, 20000) != 0 || got == 0)
            return;
        if (platform::send_all(s, buffer.data(), got, 20000) != 0)
            return;
    }
}

// A connected pair over loopback: `a` is bound to the port, `b` stays a plain peer.
struct connected_pair {
    platform::socket_handle a = platform::invalid_socket;
    platform::socket_handle b = platform::invalid_socket;

    connected_pair()
    {
        std::uint32_t e = 0;
        platform::socket_handle listening = platform::open_tcp_socket(e);
        std::uint16_t port = 0;
        if (platform::bind_ipv4(listening, loopback(), 0) == 0 && platform::local_port(listening, port) == 0 &&
            platform::listen_socket(listening) == 0) {
            b = connect_client(port);
            a = platform::accept_socket(listening, e);
        }
        close_quietly(listening);
    }
    ~connected_pair()
    {
        close_quietly(a);
        close_quietly(b);
    }
};

class tcp_peer {
public:
    using serve_function = std::function<void(platform::socket_handle)>;

    // `accepting` false: listens but accepts nothing until start_accepting().
    explicit tcp_peer(serve_function serve, int backlog = -1, bool accepting = true)
        : serve_(std::move(serve)), accepting_(accepting)
    {
        std::uint32_t e = 0;
        listening_ = platform::open_tcp_socket(e);
        if (listening_ == platform::invalid_socket ||
            platform::bind_ipv4(listening_, loopback(), 0) != 0 ||
            platform::local_port(listening_, port_) != 0 ||
            platform::listen_socket(listening_, backlog) != 0)
            port_ = 0;
        if (accepting_)
            start_accepting();
    }
    ~tcp_peer()
    {
        stopping_ = true;
        close_quietly(listening_);
        if (acceptor_.joinable())
            acceptor_.join();
        std::lock_guard lock(mutex_);
        for (auto& t : servers_)
            t.join();
    }
    tcp_peer(const tcp_peer&) = delete;
    tcp_peer& operator=(const tcp_peer&) = delete;

    std::uint16_t port() const { return port_; }
    int accepted() const { return accepted_.load(); }

    void start_accepting()
    {
        acceptor_ = std::thread([this] {
            while (!stopping_) {
                std::uint32_t e = 0;
                platform::socket_handle c = platform::accept_socket(listening_, e);
                if (c == platform::invalid_socket)
                    return;
                ++accepted_;
                std::lock_guard lock(mutex_);
                servers_.emplace_back([this, c] {
                    serve_(c);
                    platform::close_socket(c);
                });
            }
        });
    }

private:
    serve_function serve_;
    bool accepting_;
    platform::socket_handle listening_ = platform::invalid_socket;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> servers_;
};

}  // namespace proxy_test
