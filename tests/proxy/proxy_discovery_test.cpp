// Reading proxy settings into upstream proxies, identical on every platform: the manual
// text (Windows' own form, and what the Linux environment file is turned into) and the
// host:port rules. Only names that resolve without asking the network are used:
// literals, "localhost" and the reserved .invalid domain.

#include "proxy/proxy_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/socket_runtime.h"
#include "proxy/proxy_list_text.h"

namespace {

using proxy_test::describe;

class proxy_discovery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(platform::socket_startup(), 0u); }
    void TearDown() override { platform::socket_cleanup(); }
};

TEST_F(proxy_discovery, manual_text_kinds_tokens_and_ports)
{
    struct row {
        const char* text;
        const char* list;
    } rows[] = {
        {"10.0.0.4:3128", "http 10.0.0.4:3128"},
        {"socks=10.0.0.5:1080", "socks 10.0.0.5:1080"},
        // One token: the first marker decides, and the port's digits end at ';'.
        {"http=10.0.0.5:8080;https=10.0.0.6:8443", "http 10.0.0.5:8080"},
        {"https=10.0.0.6:8443;http=10.0.0.5:8080", "http 10.0.0.5:8080"},
        {"https=10.0.0.6:8443", "https 10.0.0.6:8443"},
        {"ftp=10.0.0.7:21", "ftp 10.0.0.7:21"},
        {"http://10.0.0.4:3128/", "http 10.0.0.4:3128"},
        {"https://10.0.0.4:3129", "https 10.0.0.4:3129"},
        {" 10.0.0.1:1\t socks=10.0.0.2:2 \r\n https=10.0.0.3:3 ", "http 10.0.0.1:1, socks 10.0.0.2:2, https 10.0.0.3:3"},
        {"[fd00::1]:3128", "http fd00::1:3128"},
        {"10.0.0.4:65535", "http 10.0.0.4:65535"},
        // Tokens that name nothing usable are left out; the others stay in order.
        {"10.0.0.4 socks=10.0.0.5:1080", "socks 10.0.0.5:1080"},
        {"10.0.0.4:", ""},
        {"10.0.0.4:x80", ""},
        {"10.0.0.4:65536", ""},
        {"10.0.0.4:4294967297", ""},  // would wrap to 1 in 32 bits
        {"socks=10.0.0.5", ""},
        {":3128", ""},
        {"[fd00::1]3128", ""},
        {"fd00::1:3128", ""},  // the host is the text before the first ':'
        {"", ""},
        {"  \t ", ""},
    };
    for (const row& r : rows)
        EXPECT_EQ(describe(proxy::parse_proxy_text(r.text)), r.list) << '"' << r.text << '"';
}

TEST_F(proxy_discovery, hosts_are_literals_or_names_the_resolver_knows)
{
    struct row {
        const char* text;
        const char* list;
    } rows[] = {
        // Digits and dots are an IPv4 literal or nothing: never octal, short or longer forms.
        {"010.0.0.4:3128", ""},
        {"10.1:3128", ""},
        {"1.2.3.4.5:3128", ""},
        {"256.0.0.1:3128", ""},
        {"[1::2::3]:3128", ""},
        {"[fd00::1x]:3128", ""},
        // Reserved names fail without a query, whatever their case or final dot.
        {"proxy.invalid:3128", ""},
        {"PROXY.INVALID.:3128", ""},
        {"socks=a.b.invalid:1080", ""},
    };
    for (const row& r : rows)
        EXPECT_EQ(describe(proxy::parse_proxy_text(r.text)), r.list) << r.text;

    // A name: every address the resolver gives, IPv4 among them for localhost.
    const auto local = proxy::resolve_endpoint("localhost:3128");
    EXPECT_TRUE(std::count(local.begin(), local.end(), net::ip_address_any(net::ip_address_v4(127, 0, 0, 1))) == 1)
        << proxy_test::describe({{proxy::proxy_kind::http, local, 3128}});
    const auto list = proxy::parse_proxy_text("socks=localhost:1080");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].kind, proxy::proxy_kind::socks);
    EXPECT_EQ(list[0].port, 1080);

    // The host+port form of automatic answers.
    EXPECT_EQ(describe({{proxy::proxy_kind::https, proxy::resolve_endpoint("fd00::2", 443), 443}}), "https fd00::2:443");
    EXPECT_EQ(describe({{proxy::proxy_kind::http, proxy::resolve_endpoint("10.0.0.4", 80), 80}}), "http 10.0.0.4:80");
    EXPECT_TRUE(proxy::resolve_endpoint("wpad.invalid", 80).empty());
    EXPECT_TRUE(proxy::resolve_endpoint("", 80).empty());
}

}  // namespace
