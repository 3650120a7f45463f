// Runs the NAT gateway in the calling process's network namespace until SIGINT or SIGTERM:
// the lab benchmark (scripts/bench-nat-lab.sh) starts it in the lab's gw namespace.
// usage: nat_gateway_runner [ADAPTER_NAME]   (default "corvane")
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "nat/wintun_nat_gateway.h"

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void on_signal(int)
{
    stop_requested.store(true);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string adapter = argc > 1 ? argv[1] : "corvane";
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    nat::wintun_nat_gateway gateway(
        adapter, [](const char* line) { std::printf("%s\n", line), std::fflush(stdout); }, log_level::info,
        nullptr);
    if (!gateway.start())
        return 1;
    while (!stop_requested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gateway.stop();
    return 0;
}
