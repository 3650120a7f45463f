// The readers of the upstream proxies' answers, fed the way TCP delivers them: in any
// prefix. An answer is trusted only once it is complete, and only a 2xx status line or a
// SOCKS5 reply of a known address type is taken as what it claims.

#include "proxy/upstream_answers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using proxy::http_connect_verdict;

TEST(proxy_http_connect_answer, status_line_decides_and_headers_end_at_the_blank_line)
{
    struct row {
        std::string answer;
        http_connect_verdict verdict;
        std::size_t header_length;
    } rows[] = {
        {"HTTP/1.0 200 Connection established\r\n\r\n", http_connect_verdict::established, 39},
        {"HTTP/1.1 204 No Content\r\nX: y\r\n\r\nDATA", http_connect_verdict::established, 33},
        {"HTTP/1.1 200\r\n\r\n", http_connect_verdict::established, 16},
        {"HTTP/1.0 200 OK\n\nDATA", http_connect_verdict::established, 17},
        {"HTTP/1.1 200 OK\r\nX: y\r\n", http_connect_verdict::incomplete, 0},
        {"HTTP/1.1 20", http_connect_verdict::incomplete, 0},
        {"", http_connect_verdict::incomplete, 0},
        {"HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 200\r\n\r\n", http_connect_verdict::refused, 0},
        {"HTTP/1.1 502 Bad Gateway 200\r\n", http_connect_verdict::refused, 0},
        {"HTTP/1.1 2000 Odd\r\n\r\n", http_connect_verdict::refused, 0},
        {"HTTP/1.1 2x0 Odd\r\n\r\n", http_connect_verdict::refused, 0},
        {"XTTP/1.1 200 OK\r\n\r\n", http_connect_verdict::refused, 0},
        {"200 OK\r\n\r\n", http_connect_verdict::refused, 0},
        {"HTTP/1.1\r\n\r\n", http_connect_verdict::refused, 0},
    };
    for (const row& r : rows) {
        const auto a = proxy::read_http_connect_answer(r.answer.data(), r.answer.size());
        EXPECT_EQ(a.verdict, r.verdict) << r.answer;
        EXPECT_EQ(a.header_length, r.header_length) << r.answer;
    }
}

TEST(proxy_socks5_reply, length_is_known_only_once_its_address_type_is)
{
    struct row {
        std::basic_string<std::uint8_t> head;
        int length;
    } rows[] = {
        {{5, 0, 0}, 0},
        {{5, 0, 0, 1}, 10},
        {{5, 0, 0, 4}, 22},
        {{5, 0, 0, 3}, 0},
        {{5, 0, 0, 3, 9}, 16},
        {{5, 0, 0, 3, 0}, 7},
        {{5, 0, 0, 3, 255}, 262},
        {{5, 0, 0, 2, 0}, -1},
        {{5, 0, 0, 0}, -1},
    };
    for (const row& r : rows)
        EXPECT_EQ(proxy::socks5_reply_length(r.head.data(), r.head.size()), r.length) << r.head.size();
    EXPECT_LE(262u, proxy::socks5_reply_maximum);
}

}  // namespace
