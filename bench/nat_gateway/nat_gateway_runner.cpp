// Runs the NAT gateway in the calling process's network namespace until SIGINT or SIGTERM:
// the lab scripts (scripts/bench-nat-lab.sh, scripts/load-nat-lab.sh) start it in the lab's
// gw namespace. For the load run, SIGUSR1 prints one line of table figures and SIGUSR2 moves
// the tables' clock past the idle timeout, so that the next sweeps find every entry stale
// without waiting ten minutes.
// usage: nat_gateway_runner [ADAPTER_NAME]   (default "corvane")
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "nat/nat_entries.h"
#include "nat/wintun_nat_gateway.h"

namespace {

std::atomic<bool> stop_requested{false};
std::atomic<bool> report_requested{false};
std::atomic<bool> skip_requested{false};

extern "C" void on_stop(int)
{
    stop_requested.store(true);
}
extern "C" void on_report(int)
{
    report_requested.store(true);
}
extern "C" void on_skip(int)
{
    skip_requested.store(true);
}

// The wall clock plus an offset the load run can push forward.
class skippable_clock final : public nat::nat_clock {
public:
    std::int64_t now_seconds() const noexcept override
    {
        return wall_->now_seconds() + offset_.load(std::memory_order_relaxed);
    }
    void skip(std::int64_t seconds) noexcept { offset_.fetch_add(seconds, std::memory_order_relaxed); }

private:
    std::shared_ptr<const nat::nat_clock> wall_ = nat::system_nat_clock();
    std::atomic<std::int64_t> offset_{0};
};

void report(const nat::wintun_nat_gateway& gateway)
{
    std::printf("tables: tcp %zu udp %zu icmp %zu entries; longest sweep tcp %llu ns udp %llu ns\n",
                gateway.tcp_table().size(), gateway.udp_table().size(), gateway.icmp_table().size(),
                static_cast<unsigned long long>(gateway.tcp_table().longest_sweep_nanoseconds()),
                static_cast<unsigned long long>(gateway.udp_table().longest_sweep_nanoseconds()));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string adapter = argc > 1 ? argv[1] : "corvane";
    std::signal(SIGINT, on_stop);
    std::signal(SIGTERM, on_stop);
    std::signal(SIGUSR1, on_report);
    std::signal(SIGUSR2, on_skip);
    auto clock = std::make_shared<skippable_clock>();
    nat::nat_gateway_environment environment;
    environment.clock = clock;
    nat::wintun_nat_gateway gateway(
        adapter, [](const char* line) { std::printf("%s\n", line), std::fflush(stdout); }, log_level::info,
        nullptr, environment);
    if (!gateway.start())
        return 1;
    while (!stop_requested.load()) {
        if (report_requested.exchange(false))
            report(gateway);
        if (skip_requested.exchange(false)) {
            clock->skip(nat::nat_idle_timeout_seconds + 1);
            std::printf("clock: moved %lld s on\n", static_cast<long long>(nat::nat_idle_timeout_seconds + 1));
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    gateway.stop();
    return 0;
}
