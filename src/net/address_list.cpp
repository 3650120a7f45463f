// Address parsing for the command line's server lists. Our own parsers rather than the OS's
// so that a list is accepted or rejected the same way on every platform.

#include <cstdint>
#include <cstring>

#include "net/ip_address.h"

namespace net {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

bool parse_ipv4(const char* text, std::size_t length, ip_address_v4& out)
{
    std::size_t pos = 0;
    std::uint8_t octets[4];
    for (int part = 0; part < 4; ++part) {
        if (part != 0) {
            if (pos >= length || text[pos] != '.')
                return false;
            ++pos;
        }
        if (pos >= length || !is_digit(text[pos]))
            return false;
        // "0" alone is a part; "01" is refused (octal in other parsers).
        if (text[pos] == '0' && pos + 1 < length && is_digit(text[pos + 1]))
            return false;
        unsigned value = 0;
        while (pos < length && is_digit(text[pos])) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            if (value > 255)
                return false;
            ++pos;
        }
        octets[part] = static_cast<std::uint8_t>(value);
    }
    std::memcpy(out.octets, octets, 4);
    return true;
}

bool parse_ipv6(const char* text, std::size_t length, in6_addr& out)
{
    std::uint16_t words[8] = {};
    int count = 0;
    int gap = -1;  // index in words where "::" stands, -1 without one
    std::size_t pos = 0;
    bool after_double_colon = false;

    if (length >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        pos = 2;
        after_double_colon = true;
    } else if (length >= 1 && text[0] == ':') {
        return false;
    }

    for (;;) {
        const std::size_t start = pos;
        unsigned value = 0;
        while (pos < length && hex_value(text[pos]) >= 0) {
            if (pos - start < 4)
                value = (value << 4) | static_cast<unsigned>(hex_value(text[pos]));
            ++pos;
        }
        const std::size_t digits = pos - start;
        if (digits == 0) {
            if (after_double_colon)
                break;  // the address ends with "::"
            return false;
        }
        if (pos < length && text[pos] == '.') {
            // Dotted IPv4 tail: fills the last two groups and ends the address.
            if (count > 6)
                return false;
            ip_address_v4 tail;
            if (!parse_ipv4(text + start, length - start, tail))
                return false;
            words[count++] = static_cast<std::uint16_t>((tail.octets[0] << 8) | tail.octets[1]);
            words[count++] = static_cast<std::uint16_t>((tail.octets[2] << 8) | tail.octets[3]);
            break;
        }
        if (digits > 4)
            return false;
        words[count++] = static_cast<std::uint16_t>(value);
        if (count == 8)
            break;
        if (pos >= length || text[pos] != ':')
            break;
        if (pos + 1 < length && text[pos + 1] == ':') {
            if (gap >= 0)
                return false;
            gap = count;
            pos += 2;
            after_double_colon = true;
        } else {
            pos += 1;
            after_double_colon = false;
        }
    }

    std::uint16_t result[8] = {};
    if (gap < 0) {
        if (count != 8)
            return false;
        std::memcpy(result, words, sizeof result);
    } else {
        if (count > 7)
            return false;
        const int tail = count - gap;
        for (int i = 0; i < gap; ++i)
            result[i] = words[i];
        for (int i = 0; i < tail; ++i)
            result[8 - tail + i] = words[gap + i];
    }
    std::uint8_t bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(result[i] >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(result[i]);
    }
    std::memcpy(&out, bytes, 16);
    return true;
}

std::vector<ip_address_any> parse_address_list(const std::string& text)
{
    std::vector<ip_address_any> result;
    std::size_t pos = 0;
    bool first = true;
    while (pos <= text.size()) {
        if (!first) {
            while (pos < text.size() && text[pos] == ' ')
                ++pos;
        }
        first = false;
        std::size_t end = text.find(',', pos);
        if (end == std::string::npos)
            end = text.size();
        const char* token = text.data() + pos;
        const std::size_t length = end - pos;

        ip_address_v4 v4;
        in6_addr v6;
        if (parse_ipv4(token, length, v4))
            result.emplace_back(v4);
        else if (parse_ipv6(token, length, v6))
            result.emplace_back(v6);

        if (end == text.size())
            break;
        pos = end + 1;
    }
    return result;
}

}  // namespace net
