// Single-stream relay throughput on loopback. Each iteration pushes one block from a client
// through the relay to a sink and waits until the sink has it all, so the figure is
// end-to-end. Compare bytes_per_second of direct_relay with socat_relay (and no_relay as the
// ceiling of the loopback itself).

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "loopback_relays.h"

extern char** environ;

namespace {

constexpr std::size_t block = 4u << 20;
using namespace bench_relays;

// Accepts one connection at a time and counts what it reads.
class sink {
public:
    sink()
    {
        listening_ = listen_on_loopback(port_);
        thread_ = std::thread([this] {
            std::vector<char> buffer(1u << 20);
            for (;;) {
                std::uint32_t error = 0;
                platform::socket_handle c = platform::accept_socket(listening_, error);
                if (c == platform::invalid_socket)
                    return;
                for (;;) {
                    std::size_t got = 0;
                    if (platform::receive_some(c, buffer.data(), buffer.size(), got, 10000) != 0 || got == 0)
                        break;
                    received_ += got;
                }
                platform::close_socket(c);
            }
        });
    }
    ~sink()
    {
        platform::close_socket(listening_);
        thread_.join();
    }
    std::uint16_t port() const { return port_; }
    std::uint64_t received() const { return received_.load(); }

private:
    platform::socket_handle listening_ = platform::invalid_socket;
    std::uint16_t port_ = 0;
    std::atomic<std::uint64_t> received_{0};
    std::thread thread_;
};

void pump(benchmark::State& state, std::uint16_t port, const sink& s)
{
    std::uint32_t e = 0;
    platform::socket_handle client = platform::open_tcp_socket(e);
    if (platform::connect_ipv4_wait(client, loopback(), port, 5000) != 0) {
        state.SkipWithError("connect failed");
        platform::close_socket(client);
        return;
    }
    std::vector<char> data(block, 'x');
    std::uint64_t target = s.received();
    for (auto _ : state) {
        if (platform::send_all(client, data.data(), data.size(), 20000) != 0) {
            state.SkipWithError("send failed");
            break;
        }
        target += block;
        while (s.received() < target)
            std::this_thread::yield();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(block));
    platform::close_socket(client);
}

void no_relay(benchmark::State& state)
{
    sink s;
    pump(state, s.port(), s);
}

void direct_relay(benchmark::State& state)
{
    sink s;
    proxy::io_completion_port port;
    port.start_thread_pool();
    auto server = start_direct_relay(port, s.port());
    if (!server) {
        state.SkipWithError("the relay did not start");
        port.stop_thread_pool();
        return;
    }
    pump(state, server->listen_port(), s);
    server->stop();
    port.stop_thread_pool();
}

void socat_relay(benchmark::State& state)
{
    sink s;
    const std::uint16_t listen_port = free_port();
    const std::string listen = "TCP-LISTEN:" + std::to_string(listen_port) + ",bind=127.0.0.1,reuseaddr";
    const std::string connect = "TCP:127.0.0.1:" + std::to_string(s.port());
    const char* argv[] = {"socat", "-b", "65536", listen.c_str(), connect.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "socat", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
        state.SkipWithError("socat is not installed");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pump(state, listen_port, s);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace

BENCHMARK(no_relay)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(direct_relay)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(socat_relay)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
