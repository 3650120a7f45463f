// The readers of the upstream proxies' answers on hostile bytes. They are fed an
// accumulating buffer, one TCP read at a time, so besides staying inside the buffer (each
// answer is its own heap block of exactly its size) they must give the same answer however
// the bytes were split: a verdict, once given for a prefix, holds for every longer one, and
// nothing is decided before the bytes that decide it have arrived.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "proxy/upstream_answers.h"

namespace {

using proxy::http_connect_answer;
using proxy::http_connect_verdict;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

http_connect_answer http_prefix(const std::uint8_t* data, std::size_t length)
{
    // An exact copy: AddressSanitizer then reports a read even one byte past the prefix.
    std::unique_ptr<char[]> copy(new char[length + (length == 0)]);
    std::memcpy(copy.get(), data, length);
    return proxy::read_http_connect_answer(copy.get(), length);
}

bool same(const http_connect_answer& a, const http_connect_answer& b)
{
    return a.verdict == b.verdict && a.header_length == b.header_length;
}

void check_http(const std::uint8_t* data, std::size_t size, std::size_t split)
{
    const http_connect_answer whole = http_prefix(data, size);
    const auto* lf = static_cast<const std::uint8_t*>(std::memchr(data, '\n', size));
    switch (whole.verdict) {
    case http_connect_verdict::incomplete:
        // Every prefix of an undecided answer is undecided too.
        require(same(http_prefix(data, split), whole));
        require(whole.header_length == 0);
        return;
    case http_connect_verdict::refused: {
        // Refused on its status line: known once that line's LF is in, not a byte before.
        require(lf != nullptr && whole.header_length == 0);
        const auto line = static_cast<std::size_t>(lf - data) + 1;
        require(http_prefix(data, line - 1).verdict == http_connect_verdict::incomplete);
        require(same(http_prefix(data, line), whole));
        if (split >= line)
            require(same(http_prefix(data, split), whole));
        return;
    }
    case http_connect_verdict::established: {
        const std::size_t end = whole.header_length;
        // The block holds a 2xx status line and ends with the blank line's LF, inside what was
        // read: the relay hands the bytes after it to the client.
        require(lf != nullptr && end >= 2 && end <= size);
        require(std::memcmp(data, "HTTP/", 5) == 0);
        require(data[end - 1] == '\n' && (data[end - 2] == '\n' || (end >= 3 && data[end - 2] == '\r' && data[end - 3] == '\n')));
        require(http_prefix(data, end - 1).verdict == http_connect_verdict::incomplete);
        require(same(http_prefix(data, end), whole));
        if (split >= end)
            require(same(http_prefix(data, split), whole));
        else
            require(http_prefix(data, split).verdict == http_connect_verdict::incomplete);
        return;
    }
    }
    std::abort();
}

int socks5_prefix(const std::uint8_t* data, std::size_t length)
{
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[length + (length == 0)]);
    std::memcpy(copy.get(), data, length);
    return proxy::socks5_reply_length(copy.get(), length);
}

void check_socks5(const std::uint8_t* data, std::size_t size, std::size_t split)
{
    const int whole = socks5_prefix(data, size);
    if (size < 4) {
        require(whole == 0);
        return;
    }
    const std::uint8_t type = data[3];
    if (type != 1 && type != 3 && type != 4) {
        require(whole == -1);
        return;
    }
    if (type == 3 && size < 5) {
        require(whole == 0);
        return;
    }
    // Known lengths fit the reply buffers the negotiations read into, and the minimum read
    // always tells the length.
    require(whole >= static_cast<int>(proxy::socks5_reply_minimum) &&
            whole <= static_cast<int>(proxy::socks5_reply_maximum));
    require(socks5_prefix(data, proxy::socks5_reply_minimum < size ? proxy::socks5_reply_minimum : size) == whole);
    const int part = socks5_prefix(data, split);
    require(part == 0 || part == whole);
}

}  // namespace

// Input: two bytes choosing where to split (little-endian), then the answer bytes, read both
// as an HTTP answer and as a SOCKS5 reply.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t answer_size = size - 2;
    const std::size_t split = static_cast<std::size_t>(data[0] | data[1] << 8) % (answer_size + 1);
    check_http(data + 2, answer_size, split);
    check_socks5(data + 2, answer_size, split);
    return 0;
}
