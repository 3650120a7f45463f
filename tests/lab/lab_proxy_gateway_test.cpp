// proxy::wintun_proxy_gateway end to end over the lab's corvflt: the gateway runs as a
// library in gw (its sockets and threads live in that namespace), the clients in vpnc, the
// servers and the upstream proxies (dante, tinyproxy) in inet. No route back from inet:
// every reply that reaches vpnc came through the local relays. Needs root; skips without it.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "lab/lab_run.h"
#include "proxy/wintun_proxy_gateway.h"

using namespace lab_test;
using namespace std::chrono_literals;

namespace {

class proxy_lab : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!running_as_root())
            GTEST_SKIP() << "lab tests need root and network namespaces";
        std::string error;
        ASSERT_TRUE(lab_.up("--no-forward", &error)) << error;
        setenv("CORVFLT_DEVICE_DIR", lab_.device_dir().c_str(), 1);
        proxy_file_ = lab_.state_dir() + "/proxy.env";
        std::ofstream(proxy_file_) << "";
        setenv("CORVANE_PROXY_ENV", proxy_file_.c_str(), 1);
        capture_ = lab_.state_dir() + "/wintun_proxy_gateway.pcap";
        // Only the network namespace is entered here, not the files `ip netns exec` puts in
        // place: the forwarder is pointed at gw's resolv.conf (nameserver 1.1.1.1) directly.
        setenv("CORVANE_RESOLV_CONF", ("/etc/netns/" + lab_.namespace_of("gw") + "/resolv.conf").c_str(), 1);
    }
    void TearDown() override
    {
        if (gateway_) {
            gateway_->stop();
            gateway_.reset();
        }
        unsetenv("CORVANE_RESOLV_CONF");
        unsetenv("CORVANE_PROXY_ENV");
    }

    void start_gateway()
    {
        ASSERT_TRUE(lab_.in_namespace("gw", [this] {
            proxy::proxy_gateway_environment e;
            e.capture_file = capture_;
            gateway_ = std::make_unique<proxy::wintun_proxy_gateway>(
                "corvane", [this](const char* line) { log_line(line); }, log_level::all, nullptr,
                std::vector<net::ip_address_any>{}, e);
            return gateway_->start();
        }));
        ASSERT_TRUE(eventually([this] { return gateway_->interface_state() == 0 && saw("NDIS filter has started!"); }, 10s));
    }
    void use_proxy(const std::string& line, const std::string& switched)
    {
        std::ofstream(proxy_file_) << line << "\n";
        ASSERT_TRUE(eventually([&] { return saw(switched); }, 5s)) << switched;
    }
    // The peer the web server logged for `path`.
    std::string peer_of(const std::string& path)
    {
        return lab_.run("inet", "grep -F 'GET " + path + " ' " + lab_.state_dir() + "/web.log | tail -n 1 | cut -d' ' -f1")
            .output;
    }
    void log_line(const char* line)
    {
        std::lock_guard lock(log_mutex_);
        log_ += line;
        log_ += '\n';
    }
    bool saw(const std::string& text)
    {
        std::lock_guard lock(log_mutex_);
        return log_.find(text) != std::string::npos;
    }

    lab_run lab_;
    std::string proxy_file_, capture_;
    std::mutex log_mutex_;
    std::string log_;
    std::unique_ptr<proxy::wintun_proxy_gateway> gateway_;
};

}  // namespace

TEST_F(proxy_lab, a_download_started_direct_completes_intact_across_switches_to_dante_and_tinyproxy)
{
    start_gateway();
    // 1 MiB at 256 KiB/s: four seconds, long enough to see both switches.
    std::string download;
    std::thread downloader([&] {
        download = lab_.run("vpnc", "curl -sS --max-time 30 --limit-rate 256k http://10.99.0.1:8080/big.bin | sha256sum")
                       .output;
    });
    std::this_thread::sleep_for(500ms);

    use_proxy("ALL_PROXY=socks5h://10.99.0.1:1080", "Switching to Proxy: 10.99.0.1 : 1080");
    EXPECT_EQ(lab_.run("vpnc", "curl -sS --max-time 5 -o /dev/null -w '%{http_code}' 'http://10.99.0.1:8080/?socks'").output,
              "200");
    EXPECT_EQ(peer_of("/?socks"), "10.99.0.1\n") << "dante connects from inet's own address";

    use_proxy("https_proxy=http://10.99.0.1:8888", "Switching to Proxy: 10.99.0.1 : 8888");
    EXPECT_EQ(lab_.run("vpnc", "curl -sS --max-time 5 -o /dev/null -w '%{http_code}' 'http://10.99.0.1:8080/?http'").output,
              "200");
    EXPECT_EQ(peer_of("/?http"), "10.99.0.1\n");

    downloader.join();
    EXPECT_EQ(download.substr(0, 64), lab_.value("LAB_WEB_BIG_SHA256")) << "the download that began direct";
    EXPECT_EQ(peer_of("/big.bin"), "10.99.0.2\n") << "it kept its direct relay";
}

TEST_F(proxy_lab, dns_and_udp_work_and_the_capture_file_holds_the_rewritten_frames)
{
    start_gateway();
    EXPECT_EQ(lab_.run("vpnc", "dig +short +time=2 +tries=2 @10.66.0.1 web.corvane.test").output, "10.99.0.1\n");
    EXPECT_EQ(lab_.run("vpnc", "echo probe | socat -t2 - UDP:10.99.0.1:7777").output, "probe\n");
    EXPECT_EQ(lab_.run("vpnc", "curl -sS --max-time 5 -o /dev/null -w '%{http_code}' http://10.99.0.1:8080/").output,
              "200");
    gateway_->stop();
    gateway_.reset();

    // The client's SYN to 10.99.0.1:8080 and the server's segments from the local relay's port
    // rewritten back to 8080: both sides of the redirect are in the file.
    const command_result read = shell("tshark -r " + capture_ + " -Y 'tcp.flags.syn == 1' -T fields -e ip.src -e tcp.srcport -e ip.dst -e tcp.dstport 2>&1");
    ASSERT_EQ(read.status, 0) << read.output;
    EXPECT_NE(read.output.find("10.66.0.2"), std::string::npos) << read.output;
    EXPECT_NE(read.output.find("10.99.0.1\t8080\t10.66.0.2"), std::string::npos) << read.output;
    const command_result dns = shell("tshark -r " + capture_ + " -Y 'dns.flags.response == 1' 2>&1 | wc -l");
    EXPECT_NE(dns.output, "0\n") << "the forwarder's reply is recorded too";
}
