#pragma once
// What the connection-rate benchmarks share: an echo server on a loopback port, and one
// connection cycle against a port (connect, send 1 KiB, read the 1 KiB echo, close).

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "loopback_relays.h"

namespace bench_relays {

inline constexpr std::size_t cycle_message = 1024;

// Echoes every connection on its own detached thread; destruction waits for them to end.
class echo_server {
public:
    echo_server()
    {
        listening_ = listen_on_loopback(port_);
        acceptor_ = std::thread([this] {
            for (;;) {
                std::uint32_t error = 0;
                platform::socket_handle c = platform::accept_socket(listening_, error);
                if (c == platform::invalid_socket)
                    return;
                ++active_;
                std::thread([this, c] {
                    char buffer[4096];
                    for (;;) {
                        std::size_t got = 0;
                        if (platform::receive_some(c, buffer, sizeof buffer, got, 10000) != 0 || got == 0)
                            break;
                        if (platform::send_all(c, buffer, got, 10000) != 0)
                            break;
                    }
                    platform::close_socket(c);
                    --active_;
                }).detach();
            }
        });
    }
    ~echo_server()
    {
        platform::close_socket(listening_);
        acceptor_.join();
        for (int i = 0; i < 2000 && active_.load() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::uint16_t port() const { return port_; }

private:
    platform::socket_handle listening_ = platform::invalid_socket;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    std::atomic<int> active_{0};
};

inline bool one_cycle(std::uint16_t port)
{
    std::uint32_t e = 0;
    platform::socket_handle s = platform::open_tcp_socket(e);
    bool ok = platform::connect_ipv4_wait(s, loopback(), port, 5000) == 0;
    char data[cycle_message] = {};
    ok = ok && platform::send_all(s, data, sizeof data, 5000) == 0;
    std::size_t have = 0;
    while (ok && have < cycle_message) {
        std::size_t got = 0;
        ok = platform::receive_some(s, data, cycle_message - have, got, 5000) == 0 && got != 0;
        have += got;
    }
    platform::close_socket(s);
    return ok;
}

}  // namespace bench_relays
