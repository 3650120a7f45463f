// New relayed connections per second and resident memory per idle relayed connection on
// loopback. Connection rate: each cycle connects, sends 1 KiB, reads the 1 KiB echo and
// closes, through tcp_proxy_server (direct) and through haproxy in TCP mode, at concurrency
// 1 and 8 (benchmark threads); compare items_per_second. Memory: 1,000 idle connections
// held through the server, reported as resident bytes per connection over the same
// connections made without a relay.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "connection_cycles.h"
#include "loopback_relays.h"

extern char** environ;

namespace {

using namespace bench_relays;

bool accepts(std::uint16_t port)
{
    std::uint32_t e = 0;
    platform::socket_handle s = platform::open_tcp_socket(e);
    const bool ok = platform::connect_ipv4_wait(s, loopback(), port, 200) == 0;
    platform::close_socket(s);
    return ok;
}

// haproxy in TCP mode between one loopback port and the echo server; stopped by PID.
class haproxy_relay {
public:
    explicit haproxy_relay(std::uint16_t destination)
    {
        char dir[] = "/tmp/corvane-bench-haproxy-XXXXXX";
        if (!::mkdtemp(dir))
            return;
        dir_ = dir;
        port_ = free_port();
        const std::string config = dir_ + "/haproxy.cfg";
        std::ofstream(config) << "global\n  maxconn 4000\n  nbthread 2\n"
                                 "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 30s\n"
                                 "  timeout server 30s\n"
                                 "frontend in\n  bind 127.0.0.1:" << port_ << "\n  default_backend out\n"
                                 "backend out\n  server echo 127.0.0.1:" << destination << "\n";
        const char* argv[] = {"haproxy", "-db", "-q", "-f", config.c_str(), nullptr};
        if (::posix_spawnp(&pid_, "haproxy", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
            pid_ = 0;
            return;
        }
        for (int i = 0; i < 250 && !accepts(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~haproxy_relay()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty())
            std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    bool running() const { return pid_ > 0; }
    std::uint16_t port() const { return port_; }

private:
    pid_t pid_ = 0;
    std::uint16_t port_ = 0;
    std::string dir_;
};

struct shared_setup {
    std::unique_ptr<echo_server> echo;
    std::unique_ptr<proxy::io_completion_port> completion_port;
    std::unique_ptr<relay_server> relay;
    std::unique_ptr<haproxy_relay> haproxy;
    std::uint16_t port = 0;
};
shared_setup setup;

void run_cycles(benchmark::State& state)
{
    for (auto _ : state) {
        if (!one_cycle(setup.port)) {
            state.SkipWithError("a connection cycle failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// Set up once per run, before the benchmark's threads start, and torn down after they end.
void direct_setup(const benchmark::State&)
{
    setup.echo = std::make_unique<echo_server>();
    setup.completion_port = std::make_unique<proxy::io_completion_port>();
    setup.completion_port->start_thread_pool();
    setup.relay = start_direct_relay(*setup.completion_port, setup.echo->port());
    setup.port = setup.relay->listen_port();
}

void haproxy_setup(const benchmark::State&)
{
    setup.echo = std::make_unique<echo_server>();
    setup.haproxy = std::make_unique<haproxy_relay>(setup.echo->port());
    setup.port = setup.haproxy->running() ? setup.haproxy->port() : 0;
}

void teardown(const benchmark::State&)
{
    if (setup.relay)
        setup.relay->stop();
    if (setup.completion_port)
        setup.completion_port->stop_thread_pool();
    setup = {};
}

void connections_direct_relay(benchmark::State& state) { run_cycles(state); }

void connections_haproxy(benchmark::State& state)
{
    if (setup.port == 0) {
        state.SkipWithError("haproxy is not installed");
        return;
    }
    run_cycles(state);
}

long resident_bytes()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

// Accepts and holds connections without reading them.
class holder {
public:
    holder()
    {
        listening_ = listen_on_loopback(port_);
        thread_ = std::thread([this] {
            for (;;) {
                std::uint32_t error = 0;
                platform::socket_handle c = platform::accept_socket(listening_, error);
                if (c == platform::invalid_socket)
                    return;
                std::lock_guard lock(mutex_);
                held_.push_back(c);
            }
        });
    }
    ~holder()
    {
        platform::close_socket(listening_);
        thread_.join();
        for (auto s : held_)
            platform::close_socket(s);
    }
    std::uint16_t port() const { return port_; }
    std::size_t count()
    {
        std::lock_guard lock(mutex_);
        return held_.size();
    }

private:
    platform::socket_handle listening_ = platform::invalid_socket;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<platform::socket_handle> held_;
};

// Opens `n` connections to `port` and waits until `h` holds them all.
std::vector<platform::socket_handle> open_idle(std::uint16_t port, std::size_t n, holder& h, std::size_t before)
{
    std::vector<platform::socket_handle> clients;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t e = 0;
        platform::socket_handle s = platform::open_tcp_socket(e);
        if (platform::connect_ipv4_wait(s, loopback(), port, 5000) == 0)
            clients.push_back(s);
        else
            platform::close_socket(s);
    }
    for (int i = 0; i < 3000 && h.count() < before + clients.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return clients;
}

void memory_per_idle_connection(benchmark::State& state)
{
    constexpr std::size_t n = 1000;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 8 * n) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8 * n);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    for (auto _ : state) {
        holder h;
        proxy::io_completion_port port;
        port.start_thread_pool();
        auto relay = start_direct_relay(port, h.port());
        // The same connections without a relay: what the test's own sockets cost.
        const long base_start = resident_bytes();
        auto direct = open_idle(h.port(), n, h, 0);
        const long base = resident_bytes() - base_start;
        const long start = resident_bytes();
        auto relayed = open_idle(relay->listen_port(), n, h, direct.size());
        for (int i = 0; i < 3000 && relay->established_count() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const long grown = resident_bytes() - start;
        state.counters["relayed"] = static_cast<double>(relay->established_count());
        state.counters["bytes_per_connection"] = static_cast<double>(grown - base) / static_cast<double>(n);
        state.counters["socket_bytes_per_connection"] = static_cast<double>(base) / static_cast<double>(n);
        for (auto s : relayed)
            platform::close_socket(s);
        for (auto s : direct)
            platform::close_socket(s);
        relay->stop();
        port.stop_thread_pool();
    }
}

}  // namespace

BENCHMARK(connections_direct_relay)->Setup(direct_setup)->Teardown(teardown)->Threads(1)->Threads(8)->UseRealTime()->MinTime(2.0);
BENCHMARK(connections_haproxy)->Setup(haproxy_setup)->Teardown(teardown)->Threads(1)->Threads(8)->UseRealTime()->MinTime(2.0);
BENCHMARK(memory_per_idle_connection)->Iterations(1)->Unit(benchmark::kMillisecond);
