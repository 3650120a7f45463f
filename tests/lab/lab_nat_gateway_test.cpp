// nat::wintun_nat_gateway end to end over the lab's corvflt: the gateway runs as a library on
// a thread in gw, the lab has no route back from inet to the clients, so every reply that
// reaches vpnc was translated. Clients in vpnc, servers in inet. Needs root; skips without it.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab_run.h"
#include "nat/wintun_nat_gateway.h"

using namespace lab_test;
using namespace std::chrono_literals;

namespace {

std::mutex events_mutex;
std::vector<std::uint32_t> events;

void record_event(proxy_event event)
{
    std::lock_guard lock(events_mutex);
    events.push_back(event.kind);
}

std::vector<std::uint32_t> recorded_events()
{
    std::lock_guard lock(events_mutex);
    return events;
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A NAT gateway on the calling thread's namespace whose lines collect in `lines`.
std::unique_ptr<nat::wintun_nat_gateway> make_gateway(std::mutex& lines_mutex, std::string& lines,
                                                      nat::nat_gateway_environment environment = {})
{
    return std::make_unique<nat::wintun_nat_gateway>(
        "corvane",
        [&](const char* line) {
            std::lock_guard lock(lines_mutex);
            lines += std::string(line) + "|";
        },
        log_level::all, &record_event, std::move(environment));
}

const std::string curl_page = "curl -sS --max-time 5 http://10.99.0.1:8080/";
const std::string dns = "dig +short +time=2 +tries=1 @1.1.1.1 web.corvane.test";
const std::string ping = "ping -c 2 -W 2 10.99.0.1";

class nat_lab : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!running_as_root())
            GTEST_SKIP() << "lab tests need root and network namespaces";
        std::string error;
        // No route back and forwarding off: only the gateway can make replies return.
        ASSERT_TRUE(lab_.up("--no-forward", &error)) << error;
        setenv("CORVFLT_DEVICE_DIR", lab_.device_dir().c_str(), 1);
    }

    bool client_sees(const std::string& command, const std::string& expected, std::string* output)
    {
        const command_result result = lab_.run("vpnc", command);
        *output = "exit " + std::to_string(result.status) + ": " + result.output;
        return result.status == 0 && result.output.find(expected) != std::string::npos;
    }
    std::string forwarding() { return lab_.run("gw", "cat /proc/sys/net/ipv4/ip_forward").output; }

    lab_run lab_;
};

}  // namespace

TEST_F(nat_lab, clients_browse_resolve_and_ping_through_the_gateway_and_survive_the_adapter_going)
{
    const std::string page = lab_.value("LAB_WEB_PAGE");
    const std::string capture = lab_.state_dir() + "/wintun_nat_gateway.pcap";
    std::string output;
    EXPECT_FALSE(client_sees("curl -sS --max-time 2 http://10.99.0.1:8080/", page, &output))
        << "replies return without NAT: " << output;

    std::mutex lines_mutex;
    std::string lines;
    const bool entered = lab_.in_namespace("gw", [&] {
        nat::nat_gateway_environment environment;
        environment.capture_file = capture;
        auto gateway = make_gateway(lines_mutex, lines, environment);
        EXPECT_TRUE(gateway->start());
        EXPECT_EQ(gateway->state(), nat::gateway_state::running) << lines;
        EXPECT_EQ(net::to_string(gateway->external_address()), "10.99.0.2");
        EXPECT_FALSE(gateway->force_routing());
        EXPECT_EQ(forwarding(), "1\n");

        EXPECT_TRUE(client_sees(curl_page, page, &output)) << output;
        EXPECT_TRUE(client_sees(dns, "10.99.0.1", &output)) << output;
        EXPECT_TRUE(client_sees(ping, "2 received", &output)) << output;
        EXPECT_GE(gateway->tcp_table().size(), 1u);
        EXPECT_GE(gateway->udp_table().size(), 1u);
        EXPECT_GE(gateway->icmp_table().size(), 2u);
        // The server saw the gateway's external address, never the client's.
        const std::string web_log = file_text(lab_.state_dir() + "/web.log");
        EXPECT_NE(web_log.find("10.99.0.2 - -"), std::string::npos) << web_log;
        EXPECT_EQ(web_log.find("10.66.0.2"), std::string::npos) << web_log;

        // The VPN adapter goes away while a client keeps sending: the gateway stops (event 1)
        // and keeps trying.
        std::thread traffic([&] { lab_.run("vpnc", "ping -q -c 60 -i 0.1 -W 1 10.99.0.1"); });
        const std::size_t before = recorded_events().size();
        EXPECT_EQ(lab_.run("gw", "ip link del corvane").status, 0);
        EXPECT_TRUE(eventually(
            [&] {
                const auto now = recorded_events();
                return now.size() > before && now.back() == proxy_event_kind::stopped;
            },
            15s));
        // Back again (persistent now), configured as up.sh did.
        EXPECT_EQ(lab_.run("gw", "ip tuntap add dev corvane mode tun && ip addr add 10.66.0.1/24 dev corvane && "
                                 "ip link set corvane up")
                      .status,
                  0);
        EXPECT_TRUE(eventually([&] { return lab_.run("vpnc", "ip link show corvw").status == 0; }, 10s));
        lab_.run("vpnc", "ip addr add 10.66.0.2/24 dev corvw; ip link set corvw up; "
                         "ip route replace default via 10.66.0.1 dev corvw");
        EXPECT_TRUE(eventually([&] { return gateway->state() == nat::gateway_state::running; }, 15s)) << lines;
        EXPECT_TRUE(eventually([&] { return client_sees(curl_page, page, &output); }, 15s)) << output;
        EXPECT_EQ(recorded_events().back(), proxy_event_kind::started);
        traffic.join();

        EXPECT_TRUE(gateway->stop());
        EXPECT_EQ(forwarding(), "0\n") << "the previous value is restored";
        gateway.reset();  // closes the capture file
        return true;
    });
    ASSERT_TRUE(entered) << "cannot enter " << lab_.namespace_of("gw");

    // The capture holds the client's flow as it left and the replies to the external port.
    const command_result read = shell("tshark -r " + capture +
                                      " -T fields -e ip.src -e ip.dst -e tcp.dstport -Y 'tcp.port == 8080'");
    ASSERT_EQ(read.status, 0) << read.output;
    EXPECT_NE(read.output.find("10.66.0.2\t10.99.0.1\t8080"), std::string::npos) << read.output;
    EXPECT_NE(read.output.find("10.99.0.1\t10.99.0.2\t10000"), std::string::npos) << read.output;
}

// A 4000-byte UDP echo: the client's kernel sends the datagram in three fragments and the
// outside peer's kernel answers in three. Every fragment after the first carries no ports;
// only the gateway's tracking of the first one brings them through, both ways.
TEST_F(nat_lab, a_udp_reply_fragmented_by_the_outside_reaches_the_client_whole)
{
    const std::string capture = lab_.state_dir() + "/fragments.pcap";
    const std::string script = lab_.state_dir() + "/big_echo.py";
    {
        std::ofstream out(script);
        out << "import socket, sys\n"
               "payload = bytes((i * 7 + 3) & 0xFF for i in range(4000))\n"
               "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
               "s.settimeout(2)\n"
               "for attempt in range(3):\n"
               "    s.sendto(payload, ('10.99.0.1', 7777))\n"
               "    try:\n"
               "        data, peer = s.recvfrom(65535)\n"
               "    except socket.timeout:\n"
               "        continue\n"
               "    print('echo', len(data), 'same' if data == payload else 'different', flush=True)\n"
               "    sys.exit(0 if data == payload else 1)\n"
               "print('no echo')\n"
               "sys.exit(1)\n";
    }
    std::mutex lines_mutex;
    std::string lines;
    const bool entered = lab_.in_namespace("gw", [&] {
        nat::nat_gateway_environment environment;
        environment.capture_file = capture;
        auto gateway = make_gateway(lines_mutex, lines, environment);
        EXPECT_TRUE(gateway->start());
        EXPECT_EQ(gateway->state(), nat::gateway_state::running) << lines;
        std::string output;
        EXPECT_TRUE(client_sees("/usr/bin/python3 " + script, "echo 4000 same", &output)) << output;
        EXPECT_TRUE(gateway->stop());
        gateway.reset();  // closes the capture file
        return true;
    });
    ASSERT_TRUE(entered) << "cannot enter " << lab_.namespace_of("gw");

    // The reply really came in fragments (as captured before translation): first, middle, last.
    const command_result read =
        shell("tshark -r " + capture +
              " -o ip.defragment:FALSE -T fields -e ip.frag_offset -e ip.flags.mf"
              " -Y 'ip.src == 10.99.0.1 && ip.dst == 10.99.0.2 && (ip.flags.mf == 1 || ip.frag_offset > 0)'");
    ASSERT_EQ(read.status, 0) << read.output;
    std::istringstream rows(read.output);
    std::vector<std::string> fragments;  // "offset more-fragments" per captured fragment
    for (std::string offset, more; rows >> offset;) {
        if (offset.find_first_not_of("0123456789") != std::string::npos) {
            std::getline(rows, more);  // tshark's own remarks
            continue;
        }
        rows >> more;
        fragments.push_back(offset + " " + more);
    }
    ASSERT_EQ(fragments.size(), 3u) << read.output;
    EXPECT_EQ(fragments[0], "0 1");
    EXPECT_EQ(fragments[1].substr(fragments[1].find(' ')), " 1");
    EXPECT_EQ(fragments[2].substr(fragments[2].find(' ')), " 0");
}

// The provider adapter goes away and comes back while a client keeps sending: the gateway
// stops, starts again once the adapter is back and configured, and the client's traffic
// flows again, translated (there is still no route back).
TEST_F(nat_lab, the_provider_adapter_going_and_coming_back_under_traffic)
{
    const std::string page = lab_.value("LAB_WEB_PAGE");
    std::mutex lines_mutex;
    std::string lines;
    const bool entered = lab_.in_namespace("gw", [&] {
        auto gateway = make_gateway(lines_mutex, lines);
        EXPECT_TRUE(gateway->start());
        std::string output;
        EXPECT_TRUE(client_sees(curl_page, page, &output)) << output;

        std::thread traffic([&] { lab_.run("vpnc", "ping -q -c 80 -i 0.1 -W 1 10.99.0.1"); });
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(lab_.run("gw", "ip link del prov0").status, 0);
        EXPECT_TRUE(eventually([&] { return gateway->state() != nat::gateway_state::running; }, 15s))
            << lines;
        // Back again (persistent now) and configured as up.sh did, on both sides: corvflt
        // created the wire side, so it comes back new and bare too.
        EXPECT_EQ(lab_.run("gw", "ip tuntap add dev prov0 mode tap && ip addr add 10.99.0.2/24 dev prov0 && "
                                 "ip link set prov0 up && ip route replace default via 10.99.0.1 dev prov0")
                      .status,
                  0);
        EXPECT_TRUE(eventually([&] { return lab_.run("inet", "ip link show provw").status == 0; }, 10s));
        lab_.run("inet", "ip addr add 10.99.0.1/24 dev provw; ip link set provw up");
        EXPECT_TRUE(eventually([&] { return gateway->state() == nat::gateway_state::running; }, 20s)) << lines;
        EXPECT_TRUE(eventually([&] { return client_sees(curl_page, page, &output); }, 15s)) << output;
        EXPECT_TRUE(client_sees(ping, "2 received", &output)) << output;
        traffic.join();
        EXPECT_TRUE(gateway->stop());
        return true;
    });
    ASSERT_TRUE(entered) << "cannot enter " << lab_.namespace_of("gw");
}

// corvflt killed with SIGKILL and started again (as its service manager would): the running
// gateway notices, takes up the new daemon once it answers (its device is opened again),
// and carries the client's traffic without being restarted itself.
TEST_F(nat_lab, the_gateway_reconnects_to_a_corvflt_killed_and_started_again)
{
    const std::string page = lab_.value("LAB_WEB_PAGE");
    const pid_t daemon = static_cast<pid_t>(std::stol(lab_.value("LAB_CORVFLT_PID")));
    char binary[4096] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(daemon) + "/exe").c_str(), binary, sizeof binary - 1), 0);
    std::mutex lines_mutex;
    std::string lines;
    pid_t restarted = 0;
    const bool entered = lab_.in_namespace("gw", [&] {
        auto gateway = make_gateway(lines_mutex, lines);
        EXPECT_TRUE(gateway->start());
        std::string output;
        EXPECT_TRUE(client_sees(curl_page, page, &output)) << output;

        EXPECT_EQ(kill(daemon, SIGKILL), 0);
        EXPECT_TRUE(eventually([&] { return !process_running(daemon); }, 5s));
        EXPECT_TRUE(eventually([&] { return gateway->state() != nat::gateway_state::running; }, 15s))
            << lines;
        // Started again with the same adapters; the devices it creates come up bare, so
        // they are configured as up.sh did.
        const command_result started = lab_.run(
            "gw", "env CORVFLT_DEVICE_DIR=" + lab_.device_dir() + " " + binary + " --adapter corvane,ip," +
                      lab_.namespace_of("vpnc") + ",corvw --adapter prov0,ethernet," + lab_.namespace_of("inet") +
                      ",provw >" + lab_.state_dir() + "/corvflt-again.log 2>&1 </dev/null & echo $!");
        restarted = static_cast<pid_t>(std::atol(started.output.c_str()));
        EXPECT_GT(restarted, 0) << started.output;
        EXPECT_TRUE(eventually([&] { return lab_.run("inet", "ip link show provw").status == 0 &&
                                            lab_.run("vpnc", "ip link show corvw").status == 0; },
                               10s));
        lab_.run("gw", "ip addr add 10.66.0.1/24 dev corvane; ip link set corvane up; "
                       "ip addr add 10.99.0.2/24 dev prov0; ip link set prov0 up; "
                       "ip route replace default via 10.99.0.1 dev prov0");
        lab_.run("vpnc", "ip addr add 10.66.0.2/24 dev corvw; ip link set corvw up; "
                         "ip route replace default via 10.66.0.1 dev corvw");
        lab_.run("inet", "ip addr add 10.99.0.1/24 dev provw; ip link set provw up");
        EXPECT_TRUE(eventually([&] { return gateway->state() == nat::gateway_state::running; }, 20s)) << lines;
        EXPECT_TRUE(eventually([&] { return client_sees(curl_page, page, &output); }, 15s)) << output;
        EXPECT_TRUE(gateway->stop());
        return true;
    });
    if (restarted > 0) {
        kill(restarted, SIGTERM);
        eventually([&] { return !process_running(restarted); }, 5s);
    }
    ASSERT_TRUE(entered) << "cannot enter " << lab_.namespace_of("gw");
}
