// tarnwell::dual_packet_filter over the real corvflt host of a lab run: opened through the
// control device that CORVFLT_DEVICE_DIR names, running in gw on both adapters (slot 0 the
// VPN side "corvane", medium IP; slot 1 the provider "prov0", Ethernet), with plain host
// routing in gw. Clients in vpnc, servers in inet. Needs root; skips without it.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "lab/lab_run.h"
#include "tarnwell/dual_packet_filter.h"

using namespace lab_test;
using tarnwell::dual_packet_filter;
using tarnwell::INTERMEDIATE_BUFFER;
using action = dual_packet_filter::packet_action;

namespace {

constexpr std::uint8_t protocol_tcp = 6;
constexpr std::uint8_t protocol_udp = 17;

// The IPv4 protocol and destination port of `packet`, or false when it is not IPv4 TCP/UDP.
// Both media arrive as Ethernet frames: the driver puts a 14-byte header with the EtherType
// before the bare IP packets of an IP-medium adapter too.
bool ipv4_destination(const INTERMEDIATE_BUFFER& packet, std::uint8_t* protocol,
                      std::uint16_t* port)
{
    constexpr std::size_t ip = 14;
    if (packet.length < ip || packet.frame[12] != 0x08 || packet.frame[13] != 0x00)
        return false;
    if (packet.length < ip + 20 || (packet.frame[ip] >> 4) != 4)
        return false;
    const std::size_t header = (packet.frame[ip] & 0x0F) * 4u;
    if (header < 20 || packet.length < ip + header + 4)
        return false;
    *protocol = packet.frame[ip + 9];
    *port = static_cast<std::uint16_t>(packet.frame[ip + header + 2] << 8 |
                                       packet.frame[ip + header + 3]);
    return true;
}

struct lab_adapters {
    std::uint64_t vpn = 0;       // corvane
    std::uint64_t provider = 0;  // prov0
};

lab_adapters find_adapters(const dual_packet_filter& filter)
{
    lab_adapters found;
    for (const auto& adapter : filter.get_adapters()) {
        if (adapter->internal_name() == "\\DEVICE\\{corvane}")
            found.vpn = adapter->adapter_handle();
        else if (adapter->internal_name() == "\\DEVICE\\{prov0}")
            found.provider = adapter->adapter_handle();
    }
    return found;
}

class lab_filter : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!running_as_root())
            GTEST_SKIP() << "lab tests need root and network namespaces";
        std::string error;
        ASSERT_TRUE(lab_.up("--route-back", &error)) << error;
        // The client opens "\\.\CORVFLT" in this directory; one lab per test process.
        setenv("CORVFLT_DEVICE_DIR", lab_.device_dir().c_str(), 1);
    }

    // Runs `body` with a filter constructed, used and destroyed on a thread in gw, so that
    // every thread the filter starts lives there too.
    void with_filter_in_gw(const std::function<void(dual_packet_filter&, const lab_adapters&)>& body)
    {
        const bool entered = lab_.in_namespace("gw", [&] {
            auto filter = std::make_unique<dual_packet_filter>();
            EXPECT_TRUE(filter->IsDriverOpen());
            const lab_adapters adapters = find_adapters(*filter);
            EXPECT_NE(adapters.vpn, 0u) << "corvane not in the adapter list";
            EXPECT_NE(adapters.provider, 0u) << "prov0 not in the adapter list";
            if (adapters.vpn && adapters.provider)
                body(*filter, adapters);
            return true;
        });
        ASSERT_TRUE(entered) << "cannot enter " << lab_.namespace_of("gw");
    }

    // Runs `command` in vpnc; true when its output holds `expected`.
    bool client_sees(const std::string& command, const std::string& expected, std::string* output)
    {
        const command_result result = lab_.run("vpnc", command);
        *output = "exit " + std::to_string(result.status) + ": " + result.output;
        return result.status == 0 && result.output.find(expected) != std::string::npos;
    }

    lab_run lab_;
};

// Client commands with what a working flow prints (timeouts short: the dropped flows wait
// them out).
const std::string curl_8080 = "curl -sS --max-time 3 http://10.99.0.1:8080/";
const std::string curl_8081 = "curl -sS --max-time 2 http://10.99.0.1:8081/";
const std::string udp_echo = "echo corvane-echo | socat -T2 - UDP4-SENDTO:10.99.0.1:7777";
const std::string dns = "dig +short +time=2 +tries=1 @1.1.1.1 web.corvane.test";

}  // namespace

TEST_F(lab_filter, passing_filter_on_both_adapters_carries_every_flow_and_stops_to_mode_zero)
{
    const std::string page = lab_.value("LAB_WEB_PAGE");
    with_filter_in_gw([&](dual_packet_filter& filter, const lab_adapters& adapters) {
        // Count what each slot and direction saw, so that "it works" cannot mean "it was
        // never filtered".
        std::atomic<unsigned> seen[2][2] = {};
        for (std::size_t slot = 0; slot < 2; ++slot)
            ASSERT_TRUE(filter.set_callbacks(
                slot,
                [&seen, slot](std::uint64_t, INTERMEDIATE_BUFFER&) {
                    ++seen[slot][0];
                    return action::pass;
                },
                [&seen, slot](std::uint64_t, INTERMEDIATE_BUFFER&) {
                    ++seen[slot][1];
                    return action::pass;
                }));
        ASSERT_TRUE(filter.start_filter(adapters.vpn, 0));
        ASSERT_TRUE(filter.start_filter(adapters.provider, 1));

        std::string output;
        EXPECT_TRUE(client_sees(curl_8080, page, &output)) << output;
        // 1 MiB each way through both slots: a packet lost, reordered into a wrong batch
        // slot or cut short in a batch changes the hash.
        EXPECT_TRUE(client_sees("curl -sS --max-time 10 http://10.99.0.1:8080/big.bin | sha256sum",
                                lab_.value("LAB_WEB_BIG_SHA256"), &output))
            << output;
        EXPECT_TRUE(client_sees(
            "head -c 1048576 /dev/zero | curl -sS --max-time 10 -o /dev/null -w '%{http_code}' "
            "-T - http://10.99.0.1:8080/upload", "501", &output))
            << "upload through both slots: " << output;
        EXPECT_TRUE(client_sees(udp_echo, "corvane-echo", &output)) << output;
        EXPECT_TRUE(client_sees(dns, "10.99.0.1", &output)) << output;
        for (int slot = 0; slot < 2; ++slot)
            for (int direction = 0; direction < 2; ++direction)
                EXPECT_GT(seen[slot][direction].load(), 0u)
                    << "slot " << slot << (direction ? " incoming" : " outgoing");

        ASSERT_TRUE(filter.stop_filter(0));
        ASSERT_TRUE(filter.stop_filter(1));
        EXPECT_TRUE(filter.IsAdapterModeZero(adapters.vpn));
        EXPECT_TRUE(filter.IsAdapterModeZero(adapters.provider));
        const unsigned after_stop = seen[0][1].load();
        EXPECT_TRUE(client_sees(curl_8080, page, &output)) << "after stop: " << output;
        EXPECT_EQ(seen[0][1].load(), after_stop) << "a stopped slot still called back";
    });
}

TEST_F(lab_filter, dropping_one_flow_blocks_it_and_only_it_until_the_filter_stops)
{
    const std::string page = lab_.value("LAB_WEB_PAGE");
    struct row {
        const char* what;
        std::size_t slot;   // 0 corvane (IP medium), 1 prov0 (Ethernet)
        bool incoming;      // which direction's callback drops
        std::uint8_t protocol;
        std::uint16_t port;  // destination port of the dropped flow
        std::string dropped_command;
        std::string dropped_expected;
    } rows[] = {
        // Client requests enter gw on corvane: incoming there (IP medium).
        {"TCP to 8081 entering from vpnc", 0, true, protocol_tcp, 8081, curl_8081, page},
        // Forwarded requests leave gw on prov0: outgoing there (Ethernet).
        {"UDP to 7777 leaving for inet", 1, false, protocol_udp, 7777, udp_echo, "corvane-echo"},
    };
    for (const row& r : rows) {
        with_filter_in_gw([&](dual_packet_filter& filter, const lab_adapters& adapters) {
            std::atomic<unsigned> dropped{0};
            const dual_packet_filter::packet_callback drop_flow =
                [&](std::uint64_t, INTERMEDIATE_BUFFER& packet) {
                    std::uint8_t protocol;
                    std::uint16_t port;
                    if (ipv4_destination(packet, &protocol, &port) &&
                        protocol == r.protocol && port == r.port) {
                        ++dropped;
                        return action::drop;
                    }
                    return action::pass;
                };
            const dual_packet_filter::packet_callback pass = {};
            ASSERT_TRUE(filter.set_callbacks(r.slot, r.incoming ? pass : drop_flow,
                                             r.incoming ? drop_flow : pass));
            ASSERT_TRUE(filter.start_filter(adapters.vpn, 0));
            ASSERT_TRUE(filter.start_filter(adapters.provider, 1));

            std::string output;
            EXPECT_FALSE(client_sees(r.dropped_command, r.dropped_expected, &output))
                << r.what << ": dropped flow got through: " << output;
            EXPECT_GT(dropped.load(), 0u) << r.what;
            EXPECT_TRUE(client_sees(curl_8080, page, &output))
                << r.what << ": other flow: " << output;
            EXPECT_TRUE(client_sees(dns, "10.99.0.1", &output))
                << r.what << ": other flow: " << output;

            // Back in mode 0 the flow works again: no adapter was left in tunnel mode.
            ASSERT_TRUE(filter.stop_filter(0));
            ASSERT_TRUE(filter.stop_filter(1));
            EXPECT_TRUE(client_sees(r.dropped_command, r.dropped_expected, &output))
                << r.what << ": after stop: " << output;
        });
    }
}
