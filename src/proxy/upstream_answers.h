#pragma once
// Readers of the upstream proxies' answers, shared by the asynchronous TCP negotiation and
// the blocking UDP ASSOCIATE. Both are fed an accumulating buffer: a TCP read may return any
// part of an answer, so they say whether it is complete yet, and how long it is, before
// anything in it is trusted. Input is untrusted: nothing is asserted, nothing read past
// `length`.

#include <cstddef>
#include <cstdint>

namespace proxy {

enum class http_connect_verdict { incomplete, established, refused };

struct http_connect_answer {
    http_connect_verdict verdict = http_connect_verdict::incomplete;
    // With `established`: the length of the status line and headers, blank line included.
    // Whatever follows belongs to the destination's stream.
    std::size_t header_length = 0;
};

// An HTTP proxy's answer to CONNECT. Only a status line "HTTP/<version> 2xx" establishes the
// tunnel; any other status (or a line that is not an HTTP status line) refuses it as soon as
// the line is complete. The headers end at the first empty line (CR LF CR LF, or a bare
// LF LF from lax proxies).
http_connect_answer read_http_connect_answer(const char* data, std::size_t length);

// The smallest number of bytes that can hold any SOCKS5 reply (VER REP RSV ATYP, a name of
// length 0, the port) and so always tells its full length.
inline constexpr std::size_t socks5_reply_minimum = 7;
// VER REP RSV ATYP, a 255-byte name with its length byte, the port.
inline constexpr std::size_t socks5_reply_maximum = 4 + 1 + 255 + 2;

// The full length of a SOCKS5 reply given its first `length` bytes: 0 while fewer than
// needed to tell (4, or 5 for a name), -1 for an address type other than 1, 3 or 4.
int socks5_reply_length(const std::uint8_t* data, std::size_t length);

}  // namespace proxy
