// SOCKS5 and HTTP CONNECT negotiation against a scripted fake proxy on loopback: the proxy
// checks the bytes it is sent and answers in pieces of its choosing, then either relays as
// an echo (with an optional greeting from the "destination" in the same write as its last
// answer) or hangs up. The client sees either the greeting and its echo, or a closed
// connection without a single byte.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "proxy/http_tcp_proxy_socket.h"
#include "proxy/socks5_tcp_proxy_socket.h"
#include "proxy/tcp_proxy_server.h"
#include "proxy_test_peer.h"

namespace {

using namespace std::chrono_literals;
using proxy_test::close_quietly;
using proxy_test::connect_client;
using proxy_test::receive_all;
using proxy_test::tcp_peer;

const net::ip_address_v4 loopback_v4{127, 0, 0, 1};
const net::ip_address_v4 destination{198, 51, 100, 7};  // only ever named to the fake proxy
constexpr std::uint16_t destination_port = 443;

// One step of the proxy's side: read exactly `expect`, then write each piece of `answer`
// with a pause between them.
struct step {
    std::string expect;
    std::vector<std::string> answer;
};

struct script {
    std::vector<step> steps;
    // Afterwards: echo (true) or hang up. Refusals keep echoing too, so that a relay wrongly
    // started on a refusal would show as an open tunnel instead of a close.
    bool relay = false;
};

struct fake_proxy {
    script s;
    std::atomic<bool> matched{true};
    std::string mismatch;
    tcp_peer peer;

    explicit fake_proxy(script sc)
        : s(std::move(sc)), peer([this](platform::socket_handle c) { serve(c); })
    {
    }

    void serve(platform::socket_handle c)
    {
        for (const step& st : s.steps) {
            std::string got(st.expect.size(), '\0');
            std::size_t have = 0;
            while (have < got.size()) {
                std::size_t n = 0;
                if (platform::receive_some(c, got.data() + have, got.size() - have, n, 5000) != 0 || n == 0)
                    break;
                have += n;
            }
            if (got != st.expect) {
                mismatch = got.substr(0, have);
                matched = false;
                return;
            }
            for (std::size_t i = 0; i < st.answer.size(); ++i) {
                if (i != 0)
                    std::this_thread::sleep_for(30ms);
                platform::send_all(c, st.answer[i].data(), st.answer[i].size(), 5000);
            }
        }
        if (s.relay)
            proxy_test::echo(c);
    }
};

template <class Socket>
struct negotiating_relay {
    proxy::io_completion_port port{2};
    std::unique_ptr<proxy::tcp_proxy_server<Socket, proxy::socks5_negotiate_context>> server;

    negotiating_relay(std::uint16_t proxy_port, std::optional<std::string> user = std::nullopt,
                      std::optional<std::string> pass = std::nullopt)
    {
        server = std::make_unique<proxy::tcp_proxy_server<Socket, proxy::socks5_negotiate_context>>(
            0, port,
            [=](net::ip_address_v4, std::uint16_t) {
                return std::tuple<net::ip_address_v4, std::uint16_t, std::unique_ptr<proxy::socks5_negotiate_context>>(
                    loopback_v4, proxy_port,
                    std::make_unique<proxy::socks5_negotiate_context>(destination, destination_port, user, pass));
            },
            log_printer{}, log_level::none, loopback_v4);
        port.start_thread_pool();
        server->start();
    }
    ~negotiating_relay()
    {
        server->stop();
        port.stop_thread_pool();
    }
};

std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s.push_back(static_cast<char>(b));
    return s;
}

const std::string connect_request =
    "CONNECT 198.51.100.7:443 HTTP/1.1\r\nHost: 198.51.100.7:443\r\nProxy-Connection: keep-alive\r\n"
    "User-Agent: Mozilla/5.0\r\n\r\n";
const std::string greeting = "SSH-2.0-destination speaks first\r\n";

struct outcome_row {
    const char* name;
    script s;
    std::optional<std::string> user;
    std::optional<std::string> pass;
    bool established;
    std::string greeting;  // what the client must read before its own echo
};

template <class Socket>
void run_rows(const std::vector<outcome_row>& rows)
{
    for (const outcome_row& row : rows) {
        SCOPED_TRACE(row.name);
        fake_proxy proxy(row.s);
        negotiating_relay<Socket> relay(proxy.peer.port(), row.user, row.pass);
        const platform::socket_handle client = connect_client(relay.server->listen_port());
        ASSERT_NE(client, platform::invalid_socket);
        if (!row.established) {
            bool closed = false;
            const std::vector<char> got = receive_all(client, 1, 5000, &closed);
            EXPECT_TRUE(got.empty()) << "no byte of a refused answer may reach the client";
            EXPECT_TRUE(closed) << "a refused negotiation must close the client";
        } else {
            if (!row.greeting.empty()) {
                const std::vector<char> first = receive_all(client, row.greeting.size(), 5000);
                EXPECT_EQ(std::string(first.begin(), first.end()), row.greeting);
            }
            const std::string ping = "ping through the tunnel";
            ASSERT_EQ(platform::send_all(client, ping.data(), ping.size(), 5000), 0u);
            const std::vector<char> echoed = receive_all(client, ping.size(), 5000);
            EXPECT_EQ(std::string(echoed.begin(), echoed.end()), ping);
        }
        EXPECT_TRUE(proxy.matched) << "proxy received: " << proxy.mismatch;
        close_quietly(client);
    }
}

TEST(proxy_http_connect, only_a_2xx_status_line_opens_the_tunnel_and_early_bytes_are_kept)
{
    const std::string ok = "HTTP/1.0 200 Connection established\r\n\r\n";
    run_rows<proxy::http_tcp_proxy_socket>({
        {"200 in one piece", {{{connect_request, {ok}}}, true}, {}, {}, true, ""},
        {"200 split inside the status line and the blank line",
         {{{connect_request, {"HTTP/1.1 2", "00 OK\r\nProxy-agent: x\r", "\n\r\n"}}}, true}, {}, {}, true, ""},
        {"destination data after the headers in the same write",
         {{{connect_request, {ok + greeting}}}, true}, {}, {}, true, greeting},
        {"407 with 200 in a header", {{{connect_request, {"HTTP/1.1 407 Proxy Authentication Required\r\n"
                                                           "Content-Length: 200\r\n\r\n"}}}, true}, {}, {}, false, ""},
        {"502 with 200 in its reason", {{{connect_request, {"HTTP/1.1 502 upstream 200 failed\r\n\r\n"}}}, true},
         {}, {}, false, ""},
        {"not HTTP at all", {{{connect_request, {"200 200 200\r\n\r\n"}}}, true}, {}, {}, false, ""},
        {"headers that never end", {{{connect_request, {"HTTP/1.1 200 OK\r\n" + std::string(1100, 'x')}}}, true},
         {}, {}, false, ""},
    });
}

TEST(proxy_socks5_connect, replies_are_read_whole_whatever_their_split_and_address_type)
{
    const std::string methods = bytes({5, 2, 0, 2});
    const std::string request = bytes({5, 1, 0, 1, 0xC6, 0x33, 0x64, 0x07, 0x01, 0xBB});
    const std::string reply_v4 = bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
    const std::string reply_name = bytes({5, 0, 0, 3, 9}) + "localhost" + bytes({0x1F, 0x90});
    const std::string reply_v6 = bytes({5, 0, 0, 4}) + std::string(15, '\0') + bytes({1, 0x1F, 0x90});
    const std::string auth = bytes({1, 4}) + "user" + bytes({6}) + "secret";
    run_rows<proxy::socks5_tcp_proxy_socket>({
        {"no authentication", {{{methods, {bytes({5, 0})}}, {request, {reply_v4}}}, true}, {}, {}, true, ""},
        {"every reply split byte by byte",
         {{{methods, {bytes({5}), bytes({0})}},
           {request, {reply_v4.substr(0, 1), reply_v4.substr(1, 3), reply_v4.substr(4, 5), reply_v4.substr(9)}}},
          true},
         {}, {}, true, ""},
        {"IPv4 reply with destination data in the same write",
         {{{methods, {bytes({5, 0})}}, {request, {reply_v4 + greeting}}}, true}, {}, {}, true, greeting},
        {"domain name reply followed by data", {{{methods, {bytes({5, 0})}}, {request, {reply_name + greeting}}}, true},
         {}, {}, true, greeting},
        {"IPv6 reply followed by data", {{{methods, {bytes({5, 0})}}, {request, {reply_v6 + greeting}}}, true},
         {}, {}, true, greeting},
        {"user name and password accepted",
         {{{methods, {bytes({5, 2})}}, {auth, {bytes({1, 0})}}, {request, {reply_v4}}}, true}, "user", "secret", true,
         ""},
        {"authentication refused", {{{methods, {bytes({5, 2})}}, {auth, {bytes({1, 1})}}}, true}, "user", "secret",
         false, ""},
        {"password method but no credentials", {{{methods, {bytes({5, 2})}}}, true}, {}, {}, false, ""},
        {"over-long user name", {{{methods, {bytes({5, 2})}}}, true}, std::string(256, 'u'), "p", false, ""},
        {"no acceptable method", {{{methods, {bytes({5, 0xFF})}}}, true}, {}, {}, false, ""},
        {"wrong version", {{{methods, {bytes({4, 0})}}}, true}, {}, {}, false, ""},
        {"connect refused", {{{methods, {bytes({5, 0})}}, {request, {bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})}}}, true},
         {}, {}, false, ""},
        {"unknown address type", {{{methods, {bytes({5, 0})}}, {request, {bytes({5, 0, 0, 9, 0, 0, 0, 0, 0, 0})}}}, true},
         {}, {}, false, ""},
        {"proxy hangs up mid-reply", {{{methods, {bytes({5, 0})}}, {request, {bytes({5, 0, 0})}}}, false}, {}, {},
         false, ""},
    });
}

}  // namespace
