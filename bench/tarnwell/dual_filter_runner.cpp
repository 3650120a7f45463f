// Runs tarnwell::dual_packet_filter passing every packet on two adapters of the driver named
// by CORVFLT_DEVICE_DIR until SIGINT or SIGTERM, then stops both slots (back to mode 0) and
// prints how many packets each slot saw. The lab benchmark (scripts/bench-filter-lab.sh)
// starts it in the lab's gw namespace; its "filtering" line on stdout means both slots run.
// usage: dual_filter_runner [VPN_ADAPTER [PROVIDER_ADAPTER]]   (default corvane prov0)
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "tarnwell/dual_packet_filter.h"

namespace {

using tarnwell::dual_packet_filter;
using tarnwell::INTERMEDIATE_BUFFER;

std::atomic<bool> stop_requested{false};

extern "C" void on_signal(int)
{
    stop_requested.store(true);
}

// The handle of the adapter the driver lists as "\DEVICE\{name}", or 0.
std::uint64_t find_adapter(const dual_packet_filter& filter, const std::string& name)
{
    const std::string internal = "\\DEVICE\\{" + name + "}";
    for (const auto& adapter : filter.get_adapters())
        if (adapter->internal_name() == internal)
            return adapter->adapter_handle();
    return 0;
}

// Per slot and direction; each counter is written by one slot's worker thread only and
// read after the slots have stopped, so relaxed ordering is enough. The counts show the
// figures came from filtered traffic rather than from adapters left in mode 0.
struct slot_counts {
    std::atomic<std::uint64_t> outgoing{0};
    std::atomic<std::uint64_t> incoming{0};
};

}  // namespace

int main(int argc, char** argv)
{
    const std::string names[2] = {argc > 1 ? argv[1] : "corvane", argc > 2 ? argv[2] : "prov0"};
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    dual_packet_filter filter;
    if (!filter.IsDriverOpen()) {
        std::fprintf(stderr, "dual_filter_runner: cannot open the driver (CORVFLT_DEVICE_DIR?)\n");
        return 1;
    }
    slot_counts counts[2];
    for (std::size_t slot = 0; slot < 2; ++slot) {
        const std::uint64_t handle = find_adapter(filter, names[slot]);
        if (handle == 0) {
            std::fprintf(stderr, "dual_filter_runner: no adapter %s\n", names[slot].c_str());
            return 1;
        }
        slot_counts& mine = counts[slot];
        const bool set = filter.set_callbacks(
            slot,
            [&mine](std::uint64_t, INTERMEDIATE_BUFFER&) {
                mine.outgoing.fetch_add(1, std::memory_order_relaxed);
                return dual_packet_filter::packet_action::pass;
            },
            [&mine](std::uint64_t, INTERMEDIATE_BUFFER&) {
                mine.incoming.fetch_add(1, std::memory_order_relaxed);
                return dual_packet_filter::packet_action::pass;
            });
        if (!set || !filter.start_filter(handle, slot)) {
            std::fprintf(stderr, "dual_filter_runner: cannot filter %s\n", names[slot].c_str());
            return 1;
        }
    }
    std::printf("filtering %s and %s\n", names[0].c_str(), names[1].c_str());
    std::fflush(stdout);

    while (!stop_requested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bool stopped = true;
    for (std::size_t slot = 0; slot < 2; ++slot)
        stopped = filter.stop_filter(slot) && stopped;
    for (std::size_t slot = 0; slot < 2; ++slot)
        std::printf("%s: outgoing %llu incoming %llu\n", names[slot].c_str(),
                    static_cast<unsigned long long>(counts[slot].outgoing.load()),
                    static_cast<unsigned long long>(counts[slot].incoming.load()));
    std::fflush(stdout);
    return stopped ? 0 : 1;
}
