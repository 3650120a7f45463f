// Cost of the table operations on the packet path: a lookup of an existing flow, a new flow with
// 1k, 10k and 55k live flows (the allocation searches past every port in use), and a client
// that sends from one endpoint to very many destinations, which must cost the same per flow at
// 1k as at 100k. Also the idle sweep of 50,000 flows of 10 clients, with the table's own record
// of its longest sweep.
//
// Ratios to read: bm_port_new_flow/55000 over bm_port_new_flow/1000 (the allocation cost as the
// port space fills), and bm_port_one_endpoint_*/100000 over the same at /1000 (flat: ~1).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "nat/icmp_nat_table.h"
#include "nat/port_nat_table.h"

namespace {

const net::ip_address_v4 client{10, 66, 0, 2};
const net::ip_address_v4 remote{203, 0, 113, 1};

// These benchmarks measure the indexes, not the per-client share: one client takes every flow.
std::unique_ptr<nat::port_nat_table> unlimited_port_table(const std::shared_ptr<nat::manual_nat_clock>& clock)
{
    auto table = std::make_unique<nat::port_nat_table>(clock);
    table->set_max_entries_per_client(nat::port_nat_table::no_client_limit);
    return table;
}

std::unique_ptr<nat::icmp_nat_table> unlimited_icmp_table(const std::shared_ptr<nat::manual_nat_clock>& clock)
{
    auto table = std::make_unique<nat::icmp_nat_table>(clock);
    table->set_max_entries_per_client(nat::icmp_nat_table::no_client_limit);
    return table;
}

// The i-th of many destinations: distinct addresses in 100.64.0.0/10, one port.
net::ip_address_v4 destination(std::uint32_t i)
{
    return {100, static_cast<std::uint8_t>(64 + ((i >> 16) & 0x3F)), static_cast<std::uint8_t>(i >> 8),
            static_cast<std::uint8_t>(i)};
}

// `live` flows on ports 10000.. stay in the table; each iteration adds one more flow, which takes
// the first free port above them. The table is refilled outside the timing every 2000
// creations so that the number of live flows stays close to `live`.
void bm_port_new_flow(benchmark::State& state)
{
    const auto live = static_cast<std::uint32_t>(state.range(0));
    auto clock = std::make_shared<nat::manual_nat_clock>();
    auto table = unlimited_port_table(clock);
    auto fill = [&] {
        table = unlimited_port_table(clock);
        for (std::uint32_t i = 0; i < live; ++i)
            table->find_or_create(client, static_cast<std::uint16_t>(i), remote, 443);
    };
    fill();
    std::uint32_t created = 0;
    const std::uint32_t room = 55536 - live;
    for (auto _ : state) {
        if (created == room || created == 2000) {
            state.PauseTiming();
            fill();
            created = 0;
            state.ResumeTiming();
        }
        const net::ip_address_v4 other{10, 66, 1, static_cast<std::uint8_t>(created & 0xFF)};
        benchmark::DoNotOptimize(table->find_or_create(other, static_cast<std::uint16_t>(created >> 8), remote, 80));
        ++created;
    }
}
BENCHMARK(bm_port_new_flow)->Arg(1000)->Arg(10000)->Arg(55000);

void bm_port_existing_flow(benchmark::State& state)
{
    auto clock = std::make_shared<nat::manual_nat_clock>();
    auto table = unlimited_port_table(clock);
    for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(state.range(0)); ++i)
        table->find_or_create(client, static_cast<std::uint16_t>(i), remote, 443);
    std::uint16_t port = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table->find_or_create(client, port, remote, 443));
        benchmark::DoNotOptimize(table->find_incoming(static_cast<std::uint16_t>(10000 + port), remote, 443));
        port = static_cast<std::uint16_t>((port + 1) % 1000);
    }
}
BENCHMARK(bm_port_existing_flow)->Arg(1000)->Arg(55000);

// One client endpoint (one source port) to `live` destinations, then one more destination per
// iteration. Past 55,536 flows the ports are shared. Refilled every 2000 creations.
void bm_port_one_endpoint_new_flow(benchmark::State& state)
{
    const auto live = static_cast<std::uint32_t>(state.range(0));
    auto clock = std::make_shared<nat::manual_nat_clock>();
    std::unique_ptr<nat::port_nat_table> table;
    auto fill = [&] {
        table = unlimited_port_table(clock);
        for (std::uint32_t i = 0; i < live; ++i)
            table->find_or_create(client, 40000, destination(i), 443);
    };
    fill();
    std::uint32_t created = 0;
    for (auto _ : state) {
        if (created == 2000) {
            state.PauseTiming();
            fill();
            created = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(table->find_or_create(client, 40000, destination(live + created), 443));
        ++created;
    }
}
BENCHMARK(bm_port_one_endpoint_new_flow)->Arg(1000)->Arg(10000)->Arg(100000);

// The packets of those flows, the client's side and the replies. Second argument 0: spread
// over all flows (at 100k the tables no longer fit in the caches, so this measures memory
// latency as much as the indexes); 1000: the packets of 1000 active flows among them, which
// shows the per-lookup cost of the indexes themselves.
void bm_port_one_endpoint_lookup(benchmark::State& state)
{
    const auto live = static_cast<std::uint32_t>(state.range(0));
    const auto active = state.range(1) == 0 ? live : static_cast<std::uint32_t>(state.range(1));
    auto clock = std::make_shared<nat::manual_nat_clock>();
    auto table = unlimited_port_table(clock);
    for (std::uint32_t i = 0; i < live; ++i)
        table->find_or_create(client, 40000, destination(i), 443);
    const std::uint32_t spacing = live / active;
    std::uint32_t i = 0;
    for (auto _ : state) {
        const std::uint32_t flow = i * spacing;
        const auto entry = table->find_outgoing(client, 40000, destination(flow), 443);
        benchmark::DoNotOptimize(table->find_incoming(entry->external_port, destination(flow), 443));
        i = (i + 7919) % active;  // a prime stride: no two consecutive lookups hit neighbours
    }
}
BENCHMARK(bm_port_one_endpoint_lookup)->ArgsProduct({{1000, 10000, 100000}, {0, 1000}});

// 50,000 flows of 10 clients go stale at once; the creation that runs the next sweep removes
// them all under the lock. Reports the table's own longest-sweep record next to the timing.
void bm_port_sweep_50000_stale(benchmark::State& state)
{
    auto clock = std::make_shared<nat::manual_nat_clock>();
    std::uint64_t longest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto table = unlimited_port_table(clock);
        for (std::uint32_t i = 0; i < 50000; ++i) {
            const net::ip_address_v4 c{10, 66, 2, static_cast<std::uint8_t>(i % 10)};
            table->find_or_create(c, static_cast<std::uint16_t>(1024 + i / 10), destination(i), 443);
        }
        clock->advance(601);
        // Creations since the last sweep: 50,000 mod 11 = 5; five more reach 10.
        for (std::uint16_t p = 0; p < 5; ++p)
            table->find_or_create(client, p, remote, 53);
        state.ResumeTiming();
        benchmark::DoNotOptimize(table->find_or_create(client, 9, remote, 53));
        state.PauseTiming();
        if (table->size() > 10)
            state.SkipWithError("the sweep left stale entries");
        longest = table->longest_sweep_nanoseconds();
        table.reset();
        state.ResumeTiming();
    }
    state.counters["longest_sweep_ns"] = static_cast<double>(longest);
}
BENCHMARK(bm_port_sweep_50000_stale)->Unit(benchmark::kMillisecond)->Iterations(5);

void bm_icmp_new_message(benchmark::State& state)
{
    const auto live = static_cast<std::uint32_t>(state.range(0));
    auto clock = std::make_shared<nat::manual_nat_clock>();
    auto table = unlimited_icmp_table(clock);
    auto fill = [&] {
        table = unlimited_icmp_table(clock);
        for (std::uint32_t i = 0; i < live; ++i)
            table->create_mapping(client, remote, 1);
    };
    fill();
    std::uint32_t created = 0;
    for (auto _ : state) {
        if (created == 2000) {
            state.PauseTiming();
            fill();
            created = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(table->create_mapping(client, remote, 1));
        ++created;
    }
}
BENCHMARK(bm_icmp_new_message)->Arg(1000)->Arg(10000)->Arg(55000);

}  // namespace
