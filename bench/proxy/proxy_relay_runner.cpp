// Runs tcp_proxy_server (direct, no upstream proxy) on a loopback port until SIGINT or
// SIGTERM, relaying every connection to one fixed loopback destination: the relay
// comparison script (scripts/bench-proxy-relays.sh) puts iperf3 through it.
// usage: proxy_relay_runner DESTINATION_PORT
// Prints "listening on PORT" once the relay accepts connections.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "loopback_relays.h"

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void on_signal(int) { stop_requested.store(true); }

}  // namespace

int main(int argc, char** argv)
{
    const long destination = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (destination <= 0 || destination > 65535) {
        std::fprintf(stderr, "usage: proxy_relay_runner DESTINATION_PORT\n");
        return 2;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    proxy::io_completion_port completion_port;
    completion_port.start_thread_pool();
    auto relay = bench_relays::start_direct_relay(completion_port, static_cast<std::uint16_t>(destination));
    if (!relay) {
        std::fprintf(stderr, "proxy_relay_runner: the relay did not start\n");
        return 1;
    }
    std::printf("listening on %u\n", static_cast<unsigned>(relay->listen_port()));
    std::fflush(stdout);
    while (!stop_requested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    relay->stop();
    completion_port.stop_thread_pool();
    return 0;
}
