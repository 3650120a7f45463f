// The forwarder's life without any server answering: construction, its server lists and
// their refresh, and the pool of send contexts. Loopback only; runs under Wine too.

// First: the driver's status names must be declared before windows.h turns them into macros.
#include "tarnwell/filter_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "dns/dns_proxy_service.h"
#include "dns_test_frames.h"
#include "dns_test_support.h"

namespace {

using dns_test::captured_log;

net::ip_address_any v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return net::ip_address_any(net::ip_address_v4(a, b, c, d));
}

net::ip_address_any v6_loopback()
{
    in6_addr a{};
    reinterpret_cast<std::uint8_t*>(&a)[15] = 1;
    return net::ip_address_any(a);
}

struct forwarder_rig {
    tarnwell_test::fake_driver driver;
    captured_log log;
    proxy::io_completion_port port{1};
    // The host's servers as the platform would report them; tests change it.
    std::shared_ptr<std::vector<in_addr>> host = std::make_shared<std::vector<in_addr>>();

    dns::dns_proxy_environment environment()
    {
        dns::dns_proxy_environment e;
        e.open_device = [this] { return driver.device(); };
        e.host_servers = [host = host](platform::host_dns_servers& out) {
            out = {};
            out.ipv4 = *host;
            return true;
        };
        return e;
    }
    std::unique_ptr<dns::dns_proxy_service> make(const std::vector<net::ip_address_any>& servers = {})
    {
        return std::make_unique<dns::dns_proxy_service>(port, log.printer(), log_level::all, nullptr, servers,
                                                        environment());
    }
    ~forwarder_rig() { port.stop_thread_pool(); }
};

TEST(dns_forwarder, refuses_to_run_without_the_driver)
{
    captured_log log;
    proxy::io_completion_port port{1};
    dns::dns_proxy_environment e;
    e.open_device = [] { return std::unique_ptr<platform::control_device>(); };
    try {
        dns::dns_proxy_service service(port, log.printer(), log_level::all, nullptr, {}, e);
        FAIL() << "constructed without a driver";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Network Filter Driver is not loaded!");
    }
}

TEST(dns_forwarder, server_lists_come_from_the_command_line_the_host_or_the_defaults)
{
    forwarder_rig rig;
    rig.port.start_thread_pool();
    {
        // No host servers, no list: 1.1.1.1 then 8.8.8.8.
        auto service = rig.make();
        EXPECT_EQ(service->servers(), (std::vector<net::ip_address_any>{v4(1, 1, 1, 1), v4(8, 8, 8, 8)}));
        EXPECT_FALSE(service->fixed_servers());
        EXPECT_EQ(rig.log.count("dns_proxy_service: Added IPv4 DNS server: 1.1.1.1"), 1u);
    }
    {
        // Only IPv6 named: the IPv4 defaults are still there, after it.
        auto service = rig.make({v6_loopback()});
        EXPECT_EQ(service->servers(), (std::vector<net::ip_address_any>{v4(1, 1, 1, 1), v4(8, 8, 8, 8), v6_loopback()}));
        EXPECT_TRUE(service->fixed_servers());
    }
    {
        // A name given twice is asked twice.
        rig.host->push_back(v4(192, 0, 2, 53).v4);
        auto service = rig.make({v4(127, 0, 0, 66), v4(127, 0, 0, 66)});
        EXPECT_EQ(service->servers(), (std::vector<net::ip_address_any>{v4(127, 0, 0, 66), v4(127, 0, 0, 66)}));
    }
}

TEST(dns_forwarder, refresh_rebuilds_only_when_the_hosts_servers_changed_and_never_named_ones)
{
    forwarder_rig rig;
    rig.port.start_thread_pool();
    *rig.host = {v4(127, 0, 0, 66).v4, v4(127, 0, 0, 67).v4};
    auto service = rig.make();
    EXPECT_EQ(service->servers(), (std::vector<net::ip_address_any>{v4(127, 0, 0, 66), v4(127, 0, 0, 67)}));

    // A waiting query survives a refresh that changes nothing...
    service->forward_query(1, dns_test::query_frame(dns_test::query_message(5, "web.lab.test")));
    EXPECT_EQ(service->pending_count(), 1u);
    *rig.host = {v4(127, 0, 0, 67).v4, v4(127, 0, 0, 66).v4};  // the same set, listed otherwise
    EXPECT_FALSE(service->refresh_dns_servers());
    EXPECT_EQ(service->pending_count(), 1u);

    // ...and is dropped by one that changes the servers.
    *rig.host = {v4(127, 0, 0, 68).v4};
    EXPECT_TRUE(service->refresh_dns_servers());
    EXPECT_EQ(rig.log.count("DNS servers list has changed... "), 1u);
    EXPECT_EQ(service->servers(), (std::vector<net::ip_address_any>{v4(127, 0, 0, 68)}));
    EXPECT_EQ(service->pending_count(), 0u);

    // A host without servers: the defaults stand in, and stay until the host names some.
    rig.host->clear();
    EXPECT_TRUE(service->refresh_dns_servers());
    EXPECT_EQ(service->servers(), (std::vector<net::ip_address_any>{v4(1, 1, 1, 1), v4(8, 8, 8, 8)}));
    EXPECT_FALSE(service->refresh_dns_servers()) << "the defaults are not a change of the host";

    // Servers an admin named are kept whatever the host says.
    auto named = rig.make({v4(127, 0, 0, 70)});
    rig.host->push_back(v4(127, 0, 0, 71).v4);
    EXPECT_FALSE(named->refresh_dns_servers());
    EXPECT_EQ(named->servers(), (std::vector<net::ip_address_any>{v4(127, 0, 0, 70)}));
}

TEST(dns_forwarder, frames_without_a_usable_query_are_not_forwarded)
{
    forwarder_rig rig;
    rig.port.start_thread_pool();
    auto service = rig.make({v4(127, 0, 0, 66)});
    const auto message = dns_test::query_message(5, "web.lab.test");
    const std::vector<std::uint8_t> short_message(message.begin(), message.begin() + 11);
    service->forward_query(1, dns_test::query_frame(short_message));
    auto two_questions = message;
    two_questions[5] = 2;
    service->forward_query(1, dns_test::query_frame(two_questions));
    dns_test::frame_shape fragment;
    fragment.flags_fragment = 0x2000;
    service->forward_query(1, dns_test::query_frame(message, fragment));
    tarnwell::INTERMEDIATE_BUFFER empty{};
    service->forward_query(1, empty);
    EXPECT_EQ(service->pending_count(), 0u);
    EXPECT_EQ(rig.log.count("Sent DNS query"), 0u);
}

TEST(dns_forwarder, the_hundred_and_first_concurrent_send_finds_no_context)
{
    forwarder_rig rig;
    auto service = rig.make({v4(127, 0, 0, 66)});
    // With the port's workers not running, no send comes back: each holds its context.
    for (int i = 0; i < 101; ++i) {
        dns_test::frame_shape shape;
        shape.client_port = static_cast<std::uint16_t>(30000 + i);
        service->forward_query(1, dns_test::query_frame(dns_test::query_message(5, "web.lab.test"), shape));
    }
    EXPECT_EQ(rig.log.count("Sent DNS query with xid = "), 100u);
    EXPECT_EQ(rig.log.count("Failed to allocate dns_io_context = "), 1u);
    EXPECT_EQ(service->free_send_contexts(), 0u);
    EXPECT_EQ(service->pending_count(), 100u) << "the query that went nowhere is not kept";

    rig.port.start_thread_pool();
    EXPECT_TRUE(tarnwell_test::wait_until([&] { return service->free_send_contexts() == 100; }));
}

}  // namespace

namespace {

// The system's own list (DnsQueryConfig on Windows and under Wine, resolv.conf on Linux):
// whatever it holds, the call answers without fault and lists no unspecified address.
TEST(dns_host_servers, the_system_answers_with_its_list_or_a_clear_failure)
{
    platform::host_dns_servers servers;
    const bool read = platform::query_host_dns_servers(servers);
    RecordProperty("read", read ? "yes" : "no");
    RecordProperty("ipv4_servers", static_cast<int>(servers.ipv4.size()));
    if (!read) {
        EXPECT_TRUE(servers.ipv4.empty() && servers.ipv6.empty());
    }
    for (const in_addr& address : servers.ipv4)
        EXPECT_NE(net::ip_address_v4(address).raw(), 0u);
}

}  // namespace
