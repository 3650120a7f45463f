// Cost of the table operations on the packet path: a lookup of an existing flow, and a new flow
// with 1k, 10k and 55k live flows (the allocation searches past every port in use).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "nat/icmp_nat_table.h"
#include "nat/port_nat_table.h"

namespace {

const net::ip_address_v4 client{10, 66, 0, 2};
const net::ip_address_v4 remote{203, 0, 113, 1};

// `live` flows on ports 10000.. stay in the table; each iteration adds one more flow, which takes
// the first free port above them. The table is refilled outside the timing every 2000
// creations so that the number of live flows stays close to `live`.
void bm_port_new_flow(benchmark::State& state)
{
    const auto live = static_cast<std::uint32_t>(state.range(0));
    auto clock = std::make_shared<nat::manual_nat_clock>();
    auto table = std::make_unique<nat::port_nat_table>(clock);
    auto fill = [&] {
        table = std::make_unique<nat::port_nat_table>(clock);
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
    nat::port_nat_table table(clock);
    for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(state.range(0)); ++i)
        table.find_or_create(client, static_cast<std::uint16_t>(i), remote, 443);
    std::uint16_t port = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.find_or_create(client, port, remote, 443));
        benchmark::DoNotOptimize(table.find_incoming(static_cast<std::uint16_t>(10000 + port), remote, 443));
        port = static_cast<std::uint16_t>((port + 1) % 1000);
    }
}
BENCHMARK(bm_port_existing_flow)->Arg(1000)->Arg(55000);

void bm_icmp_new_message(benchmark::State& state)
{
    const auto live = static_cast<std::uint32_t>(state.range(0));
    auto clock = std::make_shared<nat::manual_nat_clock>();
    auto table = std::make_unique<nat::icmp_nat_table>(clock);
    auto fill = [&] {
        table = std::make_unique<nat::icmp_nat_table>(clock);
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
