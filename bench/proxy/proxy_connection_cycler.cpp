// The client and the echo server of scripts/bench-proxy-connections.sh, which compares new
// connections per second through the relay and through haproxy, each a process of its own.
// usage: proxy_connection_cycler echo
//          runs an echo server on a loopback port until SIGINT or SIGTERM; prints
//          "listening on PORT" once it accepts connections
//        proxy_connection_cycler cycle PORT CONCURRENCY SECONDS
//          runs connection cycles (connect, 1 KiB each way, close) against PORT from
//          CONCURRENCY threads for SECONDS; prints "cycles_per_second N", or fails on the
//          first cycle that fails
//        proxy_connection_cycler handoff
//          prints "handoff_us N": how long one thread takes to wake another that sleeps,
//          averaged over a bounded ping-pong: what a wake-up costs on this machine. The relay
//          accepts, connects and relays on its completion workers, as haproxy does on its
//          event loop, but its workers still pass a connection's edges between them; this
//          figure says how much each such pass costs, machine to machine.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "connection_cycles.h"

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void on_signal(int) { stop_requested.store(true); }

int usage()
{
    std::fprintf(stderr, "usage: proxy_connection_cycler echo\n"
                         "       proxy_connection_cycler cycle PORT CONCURRENCY SECONDS\n"
                         "       proxy_connection_cycler handoff\n");
    return 2;
}

int run_echo()
{
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    bench_relays::echo_server echo;
    std::printf("listening on %u\n", static_cast<unsigned>(echo.port()));
    std::fflush(stdout);
    while (!stop_requested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}

int run_cycles(long port, long concurrency, double seconds)
{
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};
    std::atomic<long> cycles{0};
    std::vector<std::thread> threads;
    for (long i = 0; i < concurrency; ++i) {
        threads.emplace_back([&] {
            long mine = 0;
            while (!done.load() && !failed.load()) {
                if (!bench_relays::one_cycle(static_cast<std::uint16_t>(port))) {
                    failed.store(true);
                    break;
                }
                ++mine;
            }
            cycles += mine;
        });
    }
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    done.store(true);
    for (auto& t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failed.load()) {
        std::fprintf(stderr, "proxy_connection_cycler: a connection cycle to port %ld failed\n", port);
        return 1;
    }
    std::printf("cycles_per_second %.0f\n", static_cast<double>(cycles.load()) / elapsed);
    return 0;
}

// Two threads pass a turn back and forth; each pass wakes the other from its wait.
int run_handoff()
{
    constexpr int passes = 20000;
    std::mutex mutex;
    std::condition_variable changed;
    int turn = 0;  // even: the main thread's, odd: the partner's
    std::thread partner([&] {
        for (int i = 0; i < passes; ++i) {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return turn % 2 == 1; });
            ++turn;
            changed.notify_one();
        }
    });
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < passes; ++i) {
        std::unique_lock lock(mutex);
        ++turn;
        changed.notify_one();
        changed.wait(lock, [&] { return turn % 2 == 0; });
    }
    const double elapsed = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    partner.join();
    std::printf("handoff_us %.1f\n", elapsed / (2.0 * passes));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "echo") == 0)
        return run_echo();
    if (argc == 2 && std::strcmp(argv[1], "handoff") == 0)
        return run_handoff();
    if (argc != 5 || std::strcmp(argv[1], "cycle") != 0)
        return usage();
    const long port = std::strtol(argv[2], nullptr, 10);
    const long concurrency = std::strtol(argv[3], nullptr, 10);
    const double seconds = std::strtod(argv[4], nullptr);
    if (port <= 0 || port > 65535 || concurrency <= 0 || concurrency > 1024 || !(seconds > 0 && seconds <= 600))
        return usage();
    return run_cycles(port, concurrency, seconds);
}
