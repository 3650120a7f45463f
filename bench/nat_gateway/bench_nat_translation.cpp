// Cost per packet of the translation callbacks: a 1460-byte TCP segment of a known flow
// leaving (host routing) and its reply arriving, a UDP datagram of a known flow, a trailing
// fragment of a translated reply, and the SYN of a new flow (entry creation included).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "nat/nat_translation.h"
#include "nat_gateway/nat_frames.h"

namespace {

using namespace nat_test;

const net::ip_address_v4 external{192, 0, 2, 10};

class every_route_to_provider final : public net::interface_source {
public:
    std::uint32_t read_interface_table(std::vector<platform::interface_row>&) override { return 0; }
    std::uint32_t read_adapter_addresses(std::vector<platform::adapter_entry>&) override { return 0; }
    std::uint32_t resolve_neighbour(const sockaddr_storage&, std::uint64_t, std::uint8_t (&)[6]) override
    {
        return 67;
    }
    std::uint32_t best_interface(const sockaddr_storage&, std::uint32_t& index) override
    {
        index = 7;
        return 0;
    }
};

struct bench_translator {
    bench_translator() : translation(tcp, udp, icmp, routes, {}, log_level::none, nullptr)
    {
        nat::translation_settings settings;
        settings.provider_if_index = 7;
        settings.provider_addresses = {external};
        settings.provider_mtu = 1500;
        settings.client_mtu = 1500;
        translation.configure(settings);
        tcp.set_external_address(external);
        udp.set_external_address(external);
        icmp.set_external_address(external);
        translation.set_external_address(external);
    }
    std::shared_ptr<nat::manual_nat_clock> clock = std::make_shared<nat::manual_nat_clock>();
    nat::port_nat_table tcp{clock};
    nat::port_nat_table udp{clock};
    nat::icmp_nat_table icmp{clock};
    every_route_to_provider routes;
    nat::nat_translation translation;
};

frame_spec flow(std::uint8_t protocol, std::size_t payload, std::uint8_t flags)
{
    frame_spec s;
    s.protocol = protocol;
    s.source = net::ip_address_v4{10, 66, 0, 2};
    s.destination = net::ip_address_v4{93, 184, 216, 34};
    s.source_port = 40000;
    s.destination_port = 443;
    s.tcp_flags = flags;
    s.payload = payload;
    return s;
}

// Each iteration translates a fresh copy of the same frame (the copy is part of the cost).
void run(benchmark::State& state, bench_translator& t, const tarnwell::INTERMEDIATE_BUFFER& original,
         bool outgoing)
{
    auto work = std::make_unique<tarnwell::INTERMEDIATE_BUFFER>();
    const std::size_t bytes = offsetof(tarnwell::INTERMEDIATE_BUFFER, frame) + original.length;
    for (auto _ : state) {
        std::memcpy(work.get(), &original, bytes);
        benchmark::DoNotOptimize(outgoing ? t.translation.process_provider_outgoing(1, *work)
                                          : t.translation.process_provider_incoming(1, *work));
    }
    state.SetItemsProcessed(state.iterations());
}

void tcp_1460_outgoing_known_flow(benchmark::State& state)
{
    bench_translator t;
    t.tcp.set_max_entries_per_client(nat::port_nat_table::no_client_limit);  // one client makes them all
    auto syn = make_frame(flow(tcp, 0, 0x02));
    t.translation.process_provider_outgoing(1, *syn);
    auto segment = make_frame(flow(tcp, 1460, 0x18));
    run(state, t, *segment, true);
}
BENCHMARK(tcp_1460_outgoing_known_flow);

void tcp_1460_incoming_known_flow(benchmark::State& state)
{
    bench_translator t;
    t.tcp.set_max_entries_per_client(nat::port_nat_table::no_client_limit);  // one client makes them all
    auto syn = make_frame(flow(tcp, 0, 0x02));
    t.translation.process_provider_outgoing(1, *syn);
    frame_spec reply = flow(tcp, 1460, 0x18);
    reply.source = net::ip_address_v4{93, 184, 216, 34};
    reply.destination = external;
    reply.source_port = 443;
    reply.destination_port = 10000;
    auto segment = make_frame(reply);
    run(state, t, *segment, false);
}
BENCHMARK(tcp_1460_incoming_known_flow);

void udp_64_outgoing_known_flow(benchmark::State& state)
{
    bench_translator t;
    auto datagram = make_frame(flow(udp, 64 - 20 - 8, 0));
    run(state, t, *datagram, true);
}
BENCHMARK(udp_64_outgoing_known_flow);

// The second fragment of a reply whose first fragment was translated: the fragment path
// (tracker look-up and clock read) that whole datagrams never take.
void udp_trailing_fragment_incoming(benchmark::State& state)
{
    bench_translator t;
    auto datagram = make_frame(flow(udp, 8, 0));
    t.translation.process_provider_outgoing(1, *datagram);
    frame_spec reply = flow(udp, 1000, 0);
    reply.source = net::ip_address_v4{93, 184, 216, 34};
    reply.destination = external;
    reply.source_port = 443;
    reply.destination_port = 10000;
    reply.fragment = 0;
    auto fragments = split_datagram(*make_frame(reply), {504, 504});
    t.translation.process_provider_incoming(1, *fragments[0]);
    run(state, t, *fragments[1], false);
}
BENCHMARK(udp_trailing_fragment_incoming);

// A new flow per iteration: the source port walks through 50000 values, so every SYN creates
// an entry (the table grows; allocation stays on low free ports).
void tcp_syn_new_flow(benchmark::State& state)
{
    bench_translator t;
    t.tcp.set_max_entries_per_client(nat::port_nat_table::no_client_limit);  // one client makes them all
    auto syn = make_frame(flow(tcp, 0, 0x02));
    auto work = std::make_unique<tarnwell::INTERMEDIATE_BUFFER>();
    std::uint32_t n = 0;
    for (auto _ : state) {
        std::memcpy(work.get(), syn.get(), sizeof *work);
        put16(work->frame + 34, static_cast<std::uint16_t>(1024 + n % 50000));
        work->frame[29] = static_cast<std::uint8_t>(n / 50000);
        ++n;
        benchmark::DoNotOptimize(t.translation.process_provider_outgoing(1, *work));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(tcp_syn_new_flow)->Iterations(40000);

}  // namespace
