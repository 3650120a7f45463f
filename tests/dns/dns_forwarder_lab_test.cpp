// The forwarder against real dnsmasq servers and against scripted ones that forge, in a
// network namespace each test creates for itself (loopback only, no route out): the
// defaults 1.1.1.1 and 8.8.8.8 exist only there. The in-process driver stands in for the
// Wintun adapter, so each reply frame is checked as the client would receive it. Root only.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dns/dns_proxy_service.h"
#include "platform/linux/resolv_conf.h"
#include "dns_test_frames.h"
#include "dns_test_support.h"
#include "support/child_process.h"
#include "tarnwell/filter_test_support.h"

namespace {

using namespace std::chrono_literals;
using dns_test::answer_message;
using dns_test::query_frame;
using dns_test::query_message;
using dns_test::read_reply;

const char* const dnsmasq_program = "/usr/sbin/dnsmasq";

int run_quietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// A dnsmasq that answers for lab.test on the given addresses, stopped by its PID.
std::unique_ptr<test_support::child_process> dnsmasq(const std::vector<std::string>& addresses)
{
    std::vector<std::string> argv = {dnsmasq_program, "-k", "--conf-file=/dev/null", "--port=53",
                                     "--bind-interfaces", "--no-resolv", "--no-hosts", "--user=root",
                                     "--pid-file=", "--local=/lab.test/",
                                     "--host-record=web.lab.test,10.77.0.1",
                                     "--host-record=web2.lab.test,10.77.0.2"};
    for (const auto& a : addresses)
        argv.push_back("--listen-address=" + a);
    return std::make_unique<test_support::child_process>(argv);
}

// A plain UDP socket of the test at `address`:`port` (IPv4 or IPv6 text).
class test_socket {
public:
    test_socket(const std::string& address, std::uint16_t port, long timeout_ms = 2000)
    {
        sockaddr_storage ss{};
        socklen_t length = 0;
        if (address.find(':') != std::string::npos) {
            auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
            sa->sin6_family = AF_INET6;
            sa->sin6_port = htons(port);
            inet_pton(AF_INET6, address.c_str(), &sa->sin6_addr);
            length = sizeof *sa;
        } else {
            auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
            sa->sin_family = AF_INET;
            sa->sin_port = htons(port);
            inet_pton(AF_INET, address.c_str(), &sa->sin_addr);
            length = sizeof *sa;
        }
        fd_ = ::socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&ss), length) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        if (fd_ >= 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~test_socket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool valid() const { return fd_ >= 0; }
    // One datagram and who sent it; empty after the timeout.
    std::vector<std::uint8_t> receive(sockaddr_storage& from)
    {
        std::vector<std::uint8_t> data(65536);
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        data.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return data;
    }
    void send(const std::vector<std::uint8_t>& data, const sockaddr_storage& to)
    {
        const socklen_t length = to.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), length);
    }

private:
    int fd_ = -1;
};

class dns_forwarder_lab : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root for a network namespace";
        if (::access(dnsmasq_program, X_OK) != 0)
            GTEST_SKIP() << dnsmasq_program << " is not installed";
        // This thread and every thread it starts from here on (the port's workers, the
        // dnsmasq children) live in a fresh namespace holding only the loopback device.
        ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        ASSERT_EQ(run_quietly("ip link set lo up && ip addr add 1.1.1.1/32 dev lo && ip addr add 8.8.8.8/32 dev lo"), 0);
        char dir[] = "/tmp/corvane-dns-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        scratch_ = dir;
        resolv_conf_ = scratch_ + "/resolv.conf";
        std::ofstream(resolv_conf_) << "# no servers\n";
        ::setenv("CORVANE_RESOLV_CONF", resolv_conf_.c_str(), 1);
        adapter_ = driver_.attach("wintun");
    }
    void TearDown() override
    {
        service_.reset();
        port_.stop_thread_pool();
        servers_.clear();
        ::unsetenv("CORVANE_RESOLV_CONF");
        if (!scratch_.empty())
            run_quietly("rm -rf '" + scratch_ + "'");
    }

    void start_dnsmasq(const std::vector<std::string>& addresses)
    {
        servers_.push_back(dnsmasq(addresses));
        ASSERT_TRUE(servers_.back()->running());
        // Ready once it answers on every address.
        for (const auto& address : addresses) {
            bool answered = false;
            for (int attempt = 0; attempt < 100 && !answered; ++attempt) {
                test_socket probe(address.find(':') != std::string::npos ? "::1" : "127.0.0.1", 0, 50);
                sockaddr_storage to{};
                if (address.find(':') != std::string::npos) {
                    auto* sa = reinterpret_cast<sockaddr_in6*>(&to);
                    sa->sin6_family = AF_INET6;
                    sa->sin6_port = htons(53);
                    inet_pton(AF_INET6, address.c_str(), &sa->sin6_addr);
                } else {
                    auto* sa = reinterpret_cast<sockaddr_in*>(&to);
                    sa->sin_family = AF_INET;
                    sa->sin_port = htons(53);
                    inet_pton(AF_INET, address.c_str(), &sa->sin_addr);
                }
                probe.send(query_message(1, "web.lab.test"), to);
                sockaddr_storage from{};
                answered = !probe.receive(from).empty();
            }
            ASSERT_TRUE(answered) << "dnsmasq does not answer on " << address;
        }
    }

    // `start_workers` false leaves the port's workers stopped: no answer is taken in before
    // the test starts them.
    void start_service(const std::vector<net::ip_address_any>& servers, dns::random_source random = {},
                       bool start_workers = true)
    {
        dns::dns_proxy_environment e;
        e.open_device = [this] { return driver_.device(); };
        e.random = std::move(random);
        if (start_workers)
            port_.start_thread_pool();
        service_ = std::make_unique<dns::dns_proxy_service>(port_, log_.printer(), log_level::all, nullptr, servers, e);
    }

    // The frames the driver sent to the client's adapter, waiting up to 5 s for `count`.
    std::vector<std::vector<std::uint8_t>> replies(std::size_t count)
    {
        tarnwell_test::wait_until([&] { return driver_.sent_count(adapter_) >= count; }, 5s);
        auto& fa = driver_.adapters.adapter(adapter_);
        std::lock_guard lock(fa.mutex);
        std::vector<std::vector<std::uint8_t>> frames;
        for (const auto& f : fa.sent)
            frames.push_back(f.data);
        return frames;
    }

    std::uint64_t handle() const { return adapter_->handle(); }

    std::string scratch_, resolv_conf_;
    tarnwell_test::fake_driver driver_;
    corvflt::adapter_context* adapter_ = nullptr;
    dns_test::captured_log log_;
    proxy::io_completion_port port_{1};
    std::vector<std::unique_ptr<test_support::child_process>> servers_;
    std::unique_ptr<dns::dns_proxy_service> service_;
};

net::ip_address_any v4_of(const char* text)
{
    net::ip_address_v4 a;
    net::parse_ipv4(text, std::strlen(text), a);
    return net::ip_address_any(a);
}

net::ip_address_any v6_of(const char* text)
{
    in6_addr a{};
    inet_pton(AF_INET6, text, &a);
    return net::ip_address_any(a);
}

bool has_a_record(const std::vector<std::uint8_t>& message, std::uint8_t last_octet)
{
    return message.size() >= 4 && net::load_be16(message.data() + 6) >= 1 &&
           std::equal(message.end() - 4, message.end(), std::vector<std::uint8_t>{10, 77, 0, last_octet}.begin());
}

TEST(dns_host_servers, resolv_conf_gives_its_nameserver_lines_in_order_and_nothing_else)
{
    const auto servers = platform::linux_backend::parse_resolv_conf(
        "# generated\n"
        "search lab.test\n"
        "nameserver 10.0.0.53\n"
        "  nameserver\tfe80::1%eth0  \r\n"
        "; nameserver 10.0.0.99\n"
        "nameserver 300.1.1.1\n"
        "nameservers 10.0.0.98\n"
        "options timeout:1\n"
        "nameserver 10.0.0.54");
    ASSERT_EQ(servers.ipv4.size(), 2u);
    EXPECT_EQ(net::ip_address_v4(servers.ipv4[0]), net::ip_address_v4(10, 0, 0, 53));
    EXPECT_EQ(net::ip_address_v4(servers.ipv4[1]), net::ip_address_v4(10, 0, 0, 54));
    ASSERT_EQ(servers.ipv6.size(), 1u);
    EXPECT_EQ(servers.ipv6[0][0], 0xfe);
    EXPECT_EQ(servers.ipv6[0][15], 1);

    // The file the environment names, and a clear failure when it is missing.
    char dir[] = "/tmp/corvane-resolv-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/resolv.conf";
    std::ofstream(file) << "nameserver 192.0.2.1\n";
    ::setenv("CORVANE_RESOLV_CONF", file.c_str(), 1);
    platform::host_dns_servers read;
    EXPECT_TRUE(platform::query_host_dns_servers(read));
    ASSERT_EQ(read.ipv4.size(), 1u);
    ::setenv("CORVANE_RESOLV_CONF", (std::string(dir) + "/missing").c_str(), 1);
    EXPECT_FALSE(platform::query_host_dns_servers(read));
    EXPECT_TRUE(read.ipv4.empty());
    ::unsetenv("CORVANE_RESOLV_CONF");
    run_quietly("rm -rf '" + std::string(dir) + "'");
}

TEST_F(dns_forwarder_lab, a_host_without_servers_is_answered_by_the_defaults_and_only_once)
{
    start_dnsmasq({"1.1.1.1", "8.8.8.8"});
    start_service({});  // the host's resolv.conf names none
    ASSERT_EQ(service_->servers(), (std::vector<net::ip_address_any>{v4_of("1.1.1.1"), v4_of("8.8.8.8")}));

    const auto query = query_message(0xBEEF, "web.lab.test");
    service_->forward_query(handle(), query_frame(query));
    const auto frames = replies(1);
    ASSERT_EQ(frames.size(), 1u);
    const auto r = read_reply(frames[0].data(), frames[0].size());
    EXPECT_TRUE(r.checksums_ok);
    EXPECT_TRUE(r.macs_swapped);
    EXPECT_EQ(r.ttl, 128);
    const std::uint8_t server[4] = {10, 9, 0, 1}, client[4] = {10, 9, 0, 2};
    EXPECT_EQ(std::memcmp(r.source, server, 4), 0);
    EXPECT_EQ(std::memcmp(r.destination, client, 4), 0);
    EXPECT_EQ(r.source_port, 53);
    EXPECT_EQ(r.destination_port, 40000);
    ASSERT_GE(r.message.size(), 12u);
    EXPECT_EQ(net::load_be16(r.message.data()), 0xBEEF) << "the client's own id";
    EXPECT_TRUE(has_a_record(r.message, 1));

    // The second server's answer finds the query gone.
    EXPECT_TRUE(tarnwell_test::wait_until([&] { return log_.count("Failed to lookup DNS query with XID: ") == 1; }, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(driver_.sent_count(adapter_), 1u);
    EXPECT_EQ(service_->pending_count(), 0u);
}

TEST_F(dns_forwarder_lab, two_clients_with_the_same_id_get_their_own_answers_even_when_the_random_ids_collide)
{
    start_dnsmasq({"1.1.1.1"});
    // The CSPRNG offers the first query's id to the second one too: it must draw again.
    auto script = std::make_shared<std::deque<std::uint16_t>>(std::deque<std::uint16_t>{0x5555, 0x5555, 0x6666});
    start_service({v4_of("1.1.1.1")}, [script](void* data, std::size_t length) {
        auto* ids = static_cast<std::uint16_t*>(data);
        for (std::size_t i = 0; i < length / 2; ++i) {
            ids[i] = script->empty() ? static_cast<std::uint16_t>(0x7000 + i) : script->front();
            if (!script->empty())
                script->pop_front();
        }
        return true;
    }, false);
    dns_test::frame_shape a, b;
    b.client[3] = 3;
    // Both are sent before either answer is taken in, so the first still holds its id.
    service_->forward_query(handle(), query_frame(query_message(0x1234, "web.lab.test"), a));
    service_->forward_query(handle(), query_frame(query_message(0x1234, "web2.lab.test"), b));
    port_.start_thread_pool();
    const auto frames = replies(2);
    ASSERT_EQ(frames.size(), 2u);
    int matched = 0;
    for (const auto& f : frames) {
        const auto r = read_reply(f.data(), f.size());
        EXPECT_TRUE(r.checksums_ok);
        EXPECT_EQ(net::load_be16(r.message.data()), 0x1234);
        // Client .2 asked for web (10.77.0.1), client .3 for web2 (10.77.0.2).
        matched += r.destination[3] == 2 && has_a_record(r.message, 1);
        matched += r.destination[3] == 3 && has_a_record(r.message, 2);
    }
    EXPECT_EQ(matched, 2);
    EXPECT_EQ(log_.count("Sent DNS query with xid = " + std::to_string(0x5555)), 1u);
    EXPECT_EQ(log_.count("Sent DNS query with xid = " + std::to_string(0x6666)), 1u);
}

TEST_F(dns_forwarder_lab, an_ipv6_server_answers_when_it_can_and_steps_aside_when_it_has_no_records)
{
    start_dnsmasq({"::1"});
    // Named only an IPv6 server: the IPv4 defaults join it, and nothing listens there.
    start_service({v6_of("::1")});

    service_->forward_query(handle(), query_frame(query_message(0x0A0A, "web.lab.test")));
    const auto frames = replies(1);
    ASSERT_EQ(frames.size(), 1u);
    const auto r = read_reply(frames[0].data(), frames[0].size());
    EXPECT_TRUE(r.checksums_ok);
    EXPECT_EQ(net::load_be16(r.message.data()), 0x0A0A);
    EXPECT_TRUE(has_a_record(r.message, 1));
    EXPECT_EQ(service_->pending_count(), 0u);

    service_->forward_query(handle(), query_frame(query_message(0x0B0B, "nothing.lab.test")));
    EXPECT_TRUE(tarnwell_test::wait_until([&] { return log_.count("Skip NXDOMAIN received for query with XID: ") == 1; }, 5s));
    EXPECT_EQ(service_->pending_count(), 1u) << "the IPv4 servers may still answer";
    EXPECT_EQ(driver_.sent_count(adapter_), 1u);
}

// A server the test plays itself, at 1.1.1.1:53, and a forger next to it.
TEST_F(dns_forwarder_lab, forged_answers_are_dropped_and_the_real_one_is_delivered)
{
    test_socket server("1.1.1.1", 53), forger("1.1.1.1", 5353), stranger("8.8.8.8", 53);
    ASSERT_TRUE(server.valid() && forger.valid() && stranger.valid());
    start_service({v4_of("1.1.1.1")});

    const auto query = query_message(0x0102, "web.lab.test");
    service_->forward_query(handle(), query_frame(query));
    sockaddr_storage forwarder{};
    const auto forwarded = server.receive(forwarder);
    ASSERT_EQ(forwarded.size(), query.size());
    const std::uint16_t id = net::load_be16(forwarded.data());
    EXPECT_TRUE(std::equal(query.begin() + 2, query.end(), forwarded.begin() + 2)) << "only the id changes";

    const std::uint8_t forged_address[4] = {6, 6, 6, 6};
    forger.send(answer_message(query, id, forged_address), forwarder);
    stranger.send(answer_message(query, id, forged_address), forwarder);
    server.send(answer_message(query_message(0, "web2.lab.test"), id, forged_address), forwarder);
    server.send(answer_message(query, static_cast<std::uint16_t>(id + 1), forged_address), forwarder);
    EXPECT_TRUE(tarnwell_test::wait_until([&] { return log_.count("(port 5353)") == 1; }, 5s));
    EXPECT_TRUE(tarnwell_test::wait_until([&] { return log_.count("Failed to lookup DNS server with IP: 8.8.8.8") == 1; }, 5s));
    EXPECT_TRUE(tarnwell_test::wait_until([&] { return log_.count("question is not the query's") == 1; }, 5s));
    EXPECT_TRUE(tarnwell_test::wait_until([&] { return log_.count("Failed to lookup DNS query with XID: ") == 1; }, 5s));
    EXPECT_EQ(driver_.sent_count(adapter_), 0u);
    EXPECT_EQ(service_->pending_count(), 1u);

    const std::uint8_t web_address[4] = {10, 77, 0, 1};
    server.send(answer_message(query, id, web_address), forwarder);
    const auto frames = replies(1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(has_a_record(read_reply(frames[0].data(), frames[0].size()).message, 1));
}

TEST_F(dns_forwarder_lab, answers_too_long_for_the_clients_frame_become_truncated_replies)
{
    test_socket server("1.1.1.1", 53);
    ASSERT_TRUE(server.valid());
    start_service({v4_of("1.1.1.1")});
    const std::uint8_t address[4] = {10, 77, 0, 1};

    // 40 bytes of IP options leave 1432 bytes; a 1472-byte answer and a 3000-byte one (more
    // than an Ethernet frame) must both come back as header and question with TC.
    dns_test::frame_shape options;
    options.ihl = 15;
    for (std::size_t size : {std::size_t{1472}, std::size_t{3000}}) {
        const auto query = query_message(0x0C0C, "big.lab.test");
        service_->forward_query(handle(), query_frame(query, options));
        sockaddr_storage forwarder{};
        const auto forwarded = server.receive(forwarder);
        ASSERT_FALSE(forwarded.empty());
        const std::uint16_t id = net::load_be16(forwarded.data());
        server.send(answer_message(query, id, address, size - (query.size() + 16)), forwarder);
    }
    const auto frames = replies(2);
    ASSERT_EQ(frames.size(), 2u);
    for (const auto& f : frames) {
        EXPECT_LE(f.size(), 1514u);
        const auto r = read_reply(f.data(), f.size());
        EXPECT_TRUE(r.checksums_ok);
        ASSERT_EQ(r.message.size(), query_message(0, "big.lab.test").size());
        EXPECT_EQ(net::load_be16(r.message.data()), 0x0C0C);
        EXPECT_TRUE(r.message[2] & 0x02) << "TC";
        EXPECT_EQ(net::load_be16(r.message.data() + 6), 0);
    }
}

TEST_F(dns_forwarder_lab, a_silent_server_leaves_memory_flat_after_a_hundred_thousand_queries)
{
    test_socket server("1.1.1.1", 53);  // receives, never answers
    ASSERT_TRUE(server.valid());
    auto now = std::make_shared<std::chrono::steady_clock::time_point>();
    dns::dns_proxy_environment e;
    e.open_device = [this] { return driver_.device(); };
    e.clock = [now] { return *now; };
    port_.start_thread_pool();
    service_ = std::make_unique<dns::dns_proxy_service>(port_, log_.printer(), log_level::none, nullptr,
                                                        std::vector<net::ip_address_any>{v4_of("1.1.1.1")}, e);
    std::size_t largest = 0;
    for (int i = 0; i < 100000; ++i) {
        dns_test::frame_shape shape;
        shape.client[3] = static_cast<std::uint8_t>(2 + i % 200);
        service_->forward_query(handle(), query_frame(query_message(static_cast<std::uint16_t>(i), "web.lab.test"), shape));
        *now += 1ms;
        if (i % 1000 == 0)
            largest = std::max(largest, service_->pending_count());
    }
    EXPECT_LE(largest, dns::pending_limits{}.max_queries);
    *now += 6s;
    service_->forward_query(handle(), query_frame(query_message(1, "web.lab.test")));
    EXPECT_LE(service_->pending_count(), 1u) << "every earlier query has expired";
}

}  // namespace
