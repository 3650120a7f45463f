// The packet filter's two adapter threads use the same tables at once, while start and stop may
// clear them. Run under ThreadSanitizer in the tsan configuration; elsewhere the index checks
// still catch corruption.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "nat/icmp_nat_table.h"
#include "nat/port_nat_table.h"

namespace {

using net::ip_address_v4;

TEST(nat_concurrency, two_threads_creating_and_looking_up_flows_never_corrupt_the_indexes)
{
    auto clock = std::make_shared<nat::manual_nat_clock>();
    // A narrow range so that the threads also race through eviction and sharing.
    nat::port_nat_table table(clock, 10000, 10063);
    nat::icmp_nat_table icmp(clock, 0, 63);
    std::atomic<bool> wrong{false};

    auto worker = [&](std::uint8_t client_octet, unsigned seed) {
        std::uint32_t x = seed;
        for (int i = 0; i < 20000; ++i) {
            x = x * 1103515245u + 12345u;
            const ip_address_v4 client{10, 66, 0, static_cast<std::uint8_t>(client_octet + (x >> 30))};
            const auto client_port = static_cast<std::uint16_t>(40000 + (x >> 8) % 32);
            const ip_address_v4 remote{203, 0, 113, static_cast<std::uint8_t>(1 + (x >> 16) % 4)};
            const auto remote_port = static_cast<std::uint16_t>(1 + (x >> 20) % 4);
            if (auto e = table.find_or_create(client, client_port, remote, remote_port)) {
                // The entry must describe exactly the flow asked for, and replies must find it
                // unless another thread replaced or evicted it meanwhile.
                if (e->client_address != client || e->client_port != client_port || e->remote_address != remote ||
                    e->remote_port != remote_port || e->external_port < 10000 || e->external_port > 10063)
                    wrong = true;
                (void)e->external_address.load();
                (void)table.find_incoming(e->external_port, remote, remote_port);
            }
            (void)table.find_outgoing(client, client_port, remote, remote_port);
            if (auto m = icmp.create_mapping(client, remote, client_port))
                (void)icmp.find_reply(m->external_id, remote);
            if (i % 500 == 0)
                clock->advance(150);
        }
    };
    std::thread client_side(worker, 2, 1);
    std::thread provider_side(worker, 2, 2);  // same clients: both threads hit the same flows
    std::thread control([&] {
        for (int i = 0; i < 20; ++i) {
            table.set_external_address({192, 0, 2, static_cast<std::uint8_t>(i)});
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (i % 5 == 4) {
                table.clear();
                icmp.clear();
            }
        }
    });
    client_side.join();
    provider_side.join();
    control.join();

    EXPECT_FALSE(wrong);
    EXPECT_TRUE(table.indexes_consistent());
    EXPECT_TRUE(icmp.indexes_consistent());
    // A four-tuple never ends up with two entries, whichever thread created it.
    const auto all = table.entries();
    for (std::size_t i = 0; i < all.size(); ++i) {
        for (std::size_t j = i + 1; j < all.size(); ++j) {
            EXPECT_FALSE(all[i]->client_address == all[j]->client_address &&
                         all[i]->client_port == all[j]->client_port &&
                         all[i]->remote_address == all[j]->remote_address && all[i]->remote_port == all[j]->remote_port);
        }
    }
}

}  // namespace
