#include "proxy/upstream_answers.h"

#include <cstring>

namespace proxy {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "HTTP/x.y SP ddd" at the start of a line of `length` bytes (without its end).
bool status_is_success(const char* line, std::size_t length)
{
    if (length < 5 || std::memcmp(line, "HTTP/", 5) != 0)
        return false;
    std::size_t i = 5;
    while (i < length && line[i] != ' ')
        ++i;
    while (i < length && line[i] == ' ')
        ++i;
    if (length - i < 3 || !is_digit(line[i]) || !is_digit(line[i + 1]) || !is_digit(line[i + 2]))
        return false;
    // "2000" is not a status code.
    if (length - i > 3 && line[i + 3] != ' ' && line[i + 3] != '\r')
        return false;
    return line[i] == '2';
}

}  // namespace

http_connect_answer read_http_connect_answer(const char* data, std::size_t length)
{
    const void* first_lf = std::memchr(data, '\n', length);
    if (!first_lf)
        return {};
    const auto line_end = static_cast<std::size_t>(static_cast<const char*>(first_lf) - data);
    if (!status_is_success(data, line_end))
        return {http_connect_verdict::refused, 0};
    // The header block ends with an empty line: LF followed by LF or by CR LF.
    for (std::size_t i = line_end; i < length; ++i) {
        if (data[i] != '\n')
            continue;
        if (i + 1 < length && data[i + 1] == '\n')
            return {http_connect_verdict::established, i + 2};
        if (i + 2 < length && data[i + 1] == '\r' && data[i + 2] == '\n')
            return {http_connect_verdict::established, i + 3};
    }
    return {};
}

int socks5_reply_length(const std::uint8_t* data, std::size_t length)
{
    if (length < 4)
        return 0;
    switch (data[3]) {
    case 1:
        return 4 + 4 + 2;
    case 4:
        return 4 + 16 + 2;
    case 3:
        if (length < 5)
            return 0;
        return 4 + 1 + data[4] + 2;
    default:
        return -1;
    }
}

}  // namespace proxy
