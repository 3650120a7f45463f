// Checksum throughput (bytes/s) for small, medium and full-size datagrams, against the plain
// 16-bit loop as the baseline, and the cost of one call of each rewriter.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "net/checksum.h"
#include "net/rewriters.h"

namespace {

using buffer_ptr = std::unique_ptr<tarnwell::INTERMEDIATE_BUFFER>;

void put16(std::uint8_t* p, unsigned v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// An IPv4 datagram of `total` bytes (IHL 5) of `protocol` with a minimal transport header.
buffer_ptr make_datagram(std::uint8_t protocol, std::size_t total, std::size_t tcp_options = 0)
{
    auto b = std::make_unique<tarnwell::INTERMEDIATE_BUFFER>();
    std::memset(b.get(), 0, sizeof *b);
    std::uint8_t* f = b->frame;
    for (std::size_t i = 0; i < sizeof b->frame; ++i)
        f[i] = static_cast<std::uint8_t>(i * 7);
    put16(f + 12, 0x0800);
    std::uint8_t* ip = f + 14;
    ip[0] = 0x45;
    put16(ip + 2, static_cast<unsigned>(total));
    put16(ip + 6, 0x4000);
    ip[8] = 64;
    ip[9] = protocol;
    std::uint8_t* t = ip + 20;
    if (protocol == 6) {
        t[12] = static_cast<std::uint8_t>(((20 + tcp_options) / 4) << 4);
        t[13] = 0x02;
        for (std::size_t i = 0; i < tcp_options; ++i)
            t[20 + i] = 1;  // no-operation options: no MSS among them
    } else if (protocol == 17) {
        put16(t + 2, 123);
        put16(t + 4, static_cast<unsigned>(total - 20));
        t[8] = 0x23;  // NTP client request
    }
    b->length = static_cast<std::uint32_t>(14 + total);
    return b;
}

std::uint16_t naive_sum(const std::uint8_t* p, std::size_t n)
{
    std::uint32_t acc = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2)
        acc += static_cast<std::uint32_t>((p[i] << 8) | p[i + 1]);
    if (n & 1)
        acc += static_cast<std::uint32_t>(p[n - 1] << 8);
    while (acc >> 16)
        acc = (acc & 0xFFFF) + (acc >> 16);
    return static_cast<std::uint16_t>(acc);
}

void bm_naive_sum(benchmark::State& state)
{
    const std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)), 0xA5);
    for (auto _ : state)
        benchmark::DoNotOptimize(naive_sum(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(bm_naive_sum)->Arg(64)->Arg(576)->Arg(1500);

void bm_ones_complement_sum(benchmark::State& state)
{
    const std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)), 0xA5);
    for (auto _ : state)
        benchmark::DoNotOptimize(net::ones_complement_sum(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(bm_ones_complement_sum)->Arg(64)->Arg(576)->Arg(1500);

template <std::uint8_t Protocol, void (*Refresh)(tarnwell::INTERMEDIATE_BUFFER&)>
void bm_refresh(benchmark::State& state)
{
    auto b = make_datagram(Protocol, static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        Refresh(*b);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (state.range(0) - 20));
}
BENCHMARK(bm_refresh<6, net::refresh_tcp_checksum>)->Name("bm_refresh_tcp_checksum")->Arg(64)->Arg(576)->Arg(1500);
BENCHMARK(bm_refresh<17, net::refresh_udp_checksum>)->Name("bm_refresh_udp_checksum")->Arg(64)->Arg(576)->Arg(1500);

void bm_refresh_ip_checksum(benchmark::State& state)
{
    auto b = make_datagram(6, 1500);
    for (auto _ : state) {
        net::refresh_ip_checksum(*b);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 20);
}
BENCHMARK(bm_refresh_ip_checksum);

// Each rewriter on a fresh copy of its input frame; the copy is timed too and measured on its
// own by bm_copy_frame.
void run_rewriter(benchmark::State& state, const tarnwell::INTERMEDIATE_BUFFER& input,
                  bool (*rewrite)(tarnwell::INTERMEDIATE_BUFFER&))
{
    auto work = std::make_unique<tarnwell::INTERMEDIATE_BUFFER>();
    const std::size_t copy = 52 + 14 + 128;  // headers plus everything a rewriter touches
    for (auto _ : state) {
        std::memcpy(work.get(), &input, copy);
        benchmark::DoNotOptimize(rewrite(*work));
        benchmark::ClobberMemory();
    }
}

void bm_copy_frame(benchmark::State& state)
{
    auto input = make_datagram(6, 40);
    run_rewriter(state, *input, [](tarnwell::INTERMEDIATE_BUFFER&) { return true; });
}
BENCHMARK(bm_copy_frame);

void bm_clamp_tcp_mss_no_options(benchmark::State& state)
{
    auto input = make_datagram(6, 40);
    run_rewriter(state, *input, [](tarnwell::INTERMEDIATE_BUFFER& b) { return net::clamp_tcp_mss(b, 1400, 1420); });
}
BENCHMARK(bm_clamp_tcp_mss_no_options);

void bm_clamp_tcp_mss_options_without_mss(benchmark::State& state)
{
    auto input = make_datagram(6, 60, 20);
    run_rewriter(state, *input, [](tarnwell::INTERMEDIATE_BUFFER& b) { return net::clamp_tcp_mss(b, 1400, 1420); });
}
BENCHMARK(bm_clamp_tcp_mss_options_without_mss);

void bm_make_fragmentation_needed(benchmark::State& state)
{
    auto input = make_datagram(17, 1500);
    run_rewriter(state, *input, [](tarnwell::INTERMEDIATE_BUFFER& b) { return net::make_fragmentation_needed(b, 1400); });
}
BENCHMARK(bm_make_fragmentation_needed);

void bm_make_ntp_reply(benchmark::State& state)
{
    auto input = make_datagram(17, 76);
    run_rewriter(state, *input, [](tarnwell::INTERMEDIATE_BUFFER& b) { return net::make_ntp_reply(b); });
}
BENCHMARK(bm_make_ntp_reply);

}  // namespace
