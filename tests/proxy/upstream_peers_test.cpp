// Negotiation against real upstream proxies started by the test on loopback: danted (SOCKS5
// CONNECT without and with user name authentication, UDP ASSOCIATE) and tinyproxy (HTTP
// CONNECT, including a CONNECT it refuses). Linux only: the peers are Debian programs run as
// child processes; each run uses its own ports, files and user, and removes them, stopping
// the peers by PID, whatever the outcome.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "proxy/http_tcp_proxy_socket.h"
#include "proxy/socks5_tcp_proxy_socket.h"
#include "proxy/socks5_udp_proxy_server.h"
#include "proxy/tcp_proxy_server.h"
#include "proxy_test_peer.h"
#include "support/child_process.h"
#include "proxy_udp_peer.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using proxy_test::close_quietly;
using test_support::child_process;
using proxy_test::connect_client;
using proxy_test::pattern;
using proxy_test::receive_all;

const net::ip_address_v4 loopback_v4{127, 0, 0, 1};

bool have_program(const char* path) { return ::access(path, X_OK) == 0; }

std::uint16_t free_tcp_port()
{
    std::uint32_t e = 0;
    platform::socket_handle s = platform::open_tcp_socket(e);
    std::uint16_t port = 0;
    platform::bind_ipv4(s, proxy_test::loopback(), 0);
    platform::local_port(s, port);
    platform::close_socket(s);
    return port;
}

int run_quietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// A scratch directory removed with everything in it.
struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        char name[] = "/tmp/corvane-proxy-peer-XXXXXX";
        if (::mkdtemp(name))
            path = name;
    }
    ~scratch_dir()
    {
        if (!path.empty())
            run_quietly("rm -rf '" + path + "'");
    }
    std::string file(const std::string& name, const std::string& text) const
    {
        const std::string p = path + "/" + name;
        std::ofstream(p) << text;
        return p;
    }
};

// Polls until `port` accepts connections, for at most 5 s; false if the child died.
bool wait_listening(child_process& process, std::uint16_t port)
{
    for (int i = 0; i < 250 && process.running(); ++i) {
        const platform::socket_handle s = connect_client(port);
        if (s != platform::invalid_socket) {
            platform::close_socket(s);
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// A system user for danted's user name method, removed again with the lines shadow-utils
// leaves in the backup files.
struct socks_user {
    std::string name = "corvp" + std::to_string(::getpid());
    std::string password = "lab-pass-1";
    bool created = false;
    socks_user()
    {
        remove();
        created = run_quietly("useradd -r -M -N -g nogroup -d /nonexistent -s /usr/sbin/nologin " + name) == 0 &&
                  run_quietly("echo '" + name + ":" + password + "' | chpasswd") == 0;
    }
    ~socks_user() { remove(); }
    void remove() const
    {
        run_quietly("userdel " + name);
        run_quietly("sed -i '/^" + name + ":/d' /etc/passwd- /etc/shadow- /etc/group- /etc/gshadow-");
    }
};

struct danted {
    scratch_dir dir;
    std::uint16_t port = free_tcp_port();
    std::unique_ptr<child_process> process;

    // `fixed_port`: listen there (a restart on the port of an earlier instance).
    explicit danted(const char* socksmethod, std::uint16_t fixed_port = 0)
    {
        if (fixed_port)
            port = fixed_port;
        // One keyword per line: danted's parser rejects some keywords after a command list.
        const std::string any = "  from: 0.0.0.0/0 to: 0.0.0.0/0\n";
        const std::string config =
            "logoutput: " + dir.path + "/danted.log\n"
            "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
            "external: 127.0.0.1\n"
            "clientmethod: none\n"
            "socksmethod: " + socksmethod + "\n"
            "user.privileged: root\n"
            "user.unprivileged: nobody\n"
            "client pass {\n" + any + "  log: error\n}\n"
            "socks pass {\n" + any + "  command: connect udpassociate\n  log: error\n}\n"
            "socks pass {\n" + any + "  command: udpreply\n  log: error\n}\n";
        const std::string file = dir.file("danted.conf", config);
        process = std::make_unique<child_process>(
            std::vector<std::string>{"/usr/sbin/danted", "-f", file, "-p", dir.path + "/danted.pid"});
    }
    bool ready() { return wait_listening(*process, port); }
};

template <class Socket>
struct upstream_relay {
    proxy::io_completion_port port{2};
    std::unique_ptr<proxy::tcp_proxy_server<Socket, proxy::socks5_negotiate_context>> server;

    upstream_relay(std::uint16_t proxy_port, std::uint16_t destination_port, std::optional<std::string> user = {},
                   std::optional<std::string> pass = {})
    {
        server = std::make_unique<proxy::tcp_proxy_server<Socket, proxy::socks5_negotiate_context>>(
            0, port,
            [=](net::ip_address_v4, std::uint16_t) {
                return std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<proxy::socks5_negotiate_context>>(
                    loopback_v4, proxy_port,
                    std::make_unique<proxy::socks5_negotiate_context>(loopback_v4, destination_port, user, pass));
            },
            log_printer{}, log_level::none, loopback_v4);
        port.start_thread_pool();
        server->start();
    }
    ~upstream_relay()
    {
        server->stop();
        port.stop_thread_pool();
    }
};

// Sends `size` bytes through the relay to an echo destination and checks they come back
// intact; false plus a closed connection is what a refused negotiation must look like.
bool echoes_through(std::uint16_t relay_port, std::size_t size, bool* closed)
{
    const platform::socket_handle client = connect_client(relay_port);
    if (client == platform::invalid_socket)
        return false;
    const std::vector<char> sent = pattern(size, static_cast<std::uint32_t>(size));
    auto writer = std::thread([&] { platform::send_all(client, sent.data(), sent.size(), 10000); });
    const std::vector<char> back = receive_all(client, sent.size(), 10000, closed);
    writer.join();
    close_quietly(client);
    return back == sent;
}

TEST(proxy_upstream_dante, connect_without_and_with_user_name_authentication)
{
    if (!have_program("/usr/sbin/danted"))
        GTEST_SKIP() << "danted is not installed (package dante-server)";
    proxy_test::tcp_peer destination(proxy_test::echo);

    danted open_proxy("none");
    ASSERT_TRUE(open_proxy.ready()) << "danted (no authentication) did not start";
    {
        upstream_relay<proxy::socks5_tcp_proxy_socket> relay(open_proxy.port, destination.port());
        bool closed = false;
        EXPECT_TRUE(echoes_through(relay.server->listen_port(), 1u << 20, &closed));
    }

    if (::geteuid() != 0)
        GTEST_SKIP() << "user name authentication needs a system user: run as root";
    socks_user user;
    ASSERT_TRUE(user.created) << "useradd/chpasswd failed";
    danted guarded_proxy("username");
    ASSERT_TRUE(guarded_proxy.ready()) << "danted (username) did not start";
    struct row {
        const char* name;
        std::optional<std::string> user;
        std::optional<std::string> pass;
        bool passes;
    } rows[] = {
        {"right password", user.name, user.password, true},
        {"wrong password", user.name, std::string("not-it"), false},
        {"no credentials", std::nullopt, std::nullopt, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        upstream_relay<proxy::socks5_tcp_proxy_socket> relay(guarded_proxy.port, destination.port(), r.user, r.pass);
        bool closed = false;
        EXPECT_EQ(echoes_through(relay.server->listen_port(), 200000, &closed), r.passes);
        if (!r.passes) {
            EXPECT_TRUE(closed);
        }
    }
}

// The upstream SOCKS5 proxy is killed and comes back on the same port. A connection relayed
// through it ends cleanly (the client sees its end, nothing hangs), one made while it is
// gone is closed without data, and new connections work once it is back, through the same
// relay server.
TEST(proxy_upstream_dante, relays_end_cleanly_when_the_upstream_goes_and_work_once_it_is_back)
{
    if (!have_program("/usr/sbin/danted"))
        GTEST_SKIP() << "danted is not installed (package dante-server)";
    proxy_test::tcp_peer destination(proxy_test::echo);
    auto first = std::make_unique<danted>("none");
    ASSERT_TRUE(first->ready()) << "danted did not start";
    const std::uint16_t socks_port = first->port;
    upstream_relay<proxy::socks5_tcp_proxy_socket> relay(socks_port, destination.port());
    const std::uint16_t relay_port = relay.server->listen_port();

    const platform::socket_handle open_connection = connect_client(relay_port);
    ASSERT_NE(open_connection, platform::invalid_socket);
    const std::vector<char> hello = pattern(1000, 7);
    ASSERT_EQ(platform::send_all(open_connection, hello.data(), hello.size(), 5000), 0u);
    ASSERT_EQ(receive_all(open_connection, hello.size(), 5000), hello);

    // Killed: a SIGTERM would let danted's children finish the sessions they serve.
    first->process->kill_all();
    first.reset();
    bool ended = false;
    const std::vector<char> after = receive_all(open_connection, 1, 10000, &ended);
    EXPECT_TRUE(ended) << "the relayed connection did not end with its upstream";
    EXPECT_TRUE(after.empty());
    close_quietly(open_connection);

    bool closed = false;
    EXPECT_FALSE(echoes_through(relay_port, 1000, &closed));
    EXPECT_TRUE(closed) << "a connection without an upstream was left hanging";

    danted second("none", socks_port);
    ASSERT_TRUE(second.ready()) << "danted did not start again on port " << socks_port;
    EXPECT_TRUE(echoes_through(relay_port, 1u << 20, &closed));
}

// A SOCKS5 UDP server whose every client associates through `proxy_port` on loopback.
struct dante_udp_relay {
    proxy::io_completion_port port{2};
    proxy::socks5_udp_proxy_server server;

    explicit dante_udp_relay(std::uint16_t proxy_port)
        : server(0, port,
                 [proxy_port](net::ip_address_v4, std::uint16_t) {
                     return std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<proxy::negotiate_context>>(
                         loopback_v4, proxy_port, nullptr);
                 },
                 log_printer{}, log_level::none, loopback_v4)
    {
        port.start_thread_pool();
    }
    ~dante_udp_relay()
    {
        server.stop();
        port.stop_thread_pool();
    }
};

TEST(proxy_upstream_dante, udp_associate_end_to_end)
{
    if (!have_program("/usr/sbin/danted"))
        GTEST_SKIP() << "danted is not installed (package dante-server)";
    danted proxy_peer("none");
    ASSERT_TRUE(proxy_peer.ready());
    dante_udp_relay relay(proxy_peer.port);
    proxy::socks5_udp_proxy_server& server = relay.server;
    ASSERT_TRUE(server.start());

    proxy_test::udp_peer client;
    proxy_test::udp_peer destination;
    for (std::uint8_t round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const std::vector<std::uint8_t> payload(100 + round, static_cast<std::uint8_t>(0xA0 + round));
        ASSERT_TRUE(client.send_to(proxy_test::loopback(), server.listen_port(),
                                   proxy_test::with_header(destination.address(), destination.port(), payload)));
        auto at_destination = destination.receive(5000);
        ASSERT_TRUE(at_destination);
        EXPECT_EQ(at_destination->bytes, payload);
        const std::vector<std::uint8_t> answer(40, static_cast<std::uint8_t>(round));
        ASSERT_TRUE(destination.send_to(at_destination->from, at_destination->from_port, answer));
        auto at_client = client.receive(5000);
        ASSERT_TRUE(at_client);
        EXPECT_EQ(at_client->bytes, proxy_test::with_header(destination.address(), destination.port(), answer));
    }
    EXPECT_EQ(server.relays_created(), 1u) << "one association serves the client";
}

TEST(proxy_upstream_dante, datagrams_sent_while_associating_arrive_in_order_for_every_client)
{
    if (!have_program("/usr/sbin/danted"))
        GTEST_SKIP() << "danted is not installed (package dante-server)";
    danted proxy_peer("none");
    ASSERT_TRUE(proxy_peer.ready());
    dante_udp_relay relay(proxy_peer.port);
    proxy::socks5_udp_proxy_server& server = relay.server;
    ASSERT_TRUE(server.start());

    // Two clients, each with a burst sent before its association can be up: the burst
    // waits for it and then arrives whole and in order.
    proxy_test::udp_peer clients[2];
    proxy_test::udp_peer destination;
    for (auto& client : clients)
        for (std::uint8_t tag = 0; tag < 4; ++tag)
            ASSERT_TRUE(client.send_to(proxy_test::loopback(), server.listen_port(),
                                       proxy_test::with_header(destination.address(), destination.port(),
                                                               std::vector<std::uint8_t>(10, tag))));
    std::map<std::uint16_t, std::vector<std::uint8_t>> tags_from;  // by the relay's port
    for (int i = 0; i < 8; ++i) {
        auto got = destination.receive(5000);
        ASSERT_TRUE(got) << "datagram " << i;
        ASSERT_EQ(got->bytes.size(), 10u);
        tags_from[got->from_port].push_back(got->bytes[0]);
    }
    ASSERT_EQ(tags_from.size(), 2u) << "one association per client";
    for (auto& [relay_port, tags] : tags_from)
        EXPECT_EQ(tags, (std::vector<std::uint8_t>{0, 1, 2, 3})) << relay_port;
    EXPECT_EQ(server.relays_created(), 2u);
}

TEST(proxy_upstream_tinyproxy, connect_relays_and_a_refused_connect_closes)
{
    if (!have_program("/usr/bin/tinyproxy"))
        GTEST_SKIP() << "tinyproxy is not installed";
    proxy_test::tcp_peer destination(proxy_test::echo);
    scratch_dir dir;
    const std::uint16_t proxy_port = free_tcp_port();
    // Only the echo destination's port may be tunnelled to: any other CONNECT gets a 403.
    const std::string config = "Port " + std::to_string(proxy_port) + "\nListen 127.0.0.1\nTimeout 60\n"
                               "LogFile \"" + dir.path + "/tinyproxy.log\"\nLogLevel Info\n"
                               "PidFile \"" + dir.path + "/tinyproxy.pid\"\nMaxClients 50\n"
                               "ConnectPort " + std::to_string(destination.port()) + "\nDisableViaHeader Yes\n";
    child_process tinyproxy({"/usr/bin/tinyproxy", "-d", "-c", dir.file("tinyproxy.conf", config)});
    ASSERT_TRUE(wait_listening(tinyproxy, proxy_port)) << "tinyproxy did not start";
    {
        upstream_relay<proxy::http_tcp_proxy_socket> relay(proxy_port, destination.port());
        bool closed = false;
        EXPECT_TRUE(echoes_through(relay.server->listen_port(), 1u << 20, &closed));
    }
    {
        upstream_relay<proxy::http_tcp_proxy_socket> relay(proxy_port, static_cast<std::uint16_t>(destination.port() ^ 1));
        bool closed = false;
        EXPECT_FALSE(echoes_through(relay.server->listen_port(), 1000, &closed));
        EXPECT_TRUE(closed) << "a 403 must close the client";
    }
}

}  // namespace
