// Text forms of addresses, written here rather than taken from the OS so that log lines read
// the same on every platform (see ip_address.h for the exact rules).

#include "net/ip_address.h"

#include <array>
#include <cstdio>

namespace net {

namespace {

void append_decimal(std::string& out, unsigned value)
{
    char digits[4];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        out.push_back(digits[--n]);
}

void append_dotted(std::string& out, const std::uint8_t* octets)
{
    for (int i = 0; i < 4; ++i) {
        if (i != 0)
            out.push_back('.');
        append_decimal(out, octets[i]);
    }
}

void append_hex_group(std::string& out, unsigned value)
{
    static constexpr char hex[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned nibble = (value >> shift) & 0xF;
        if (nibble != 0 || started || shift == 0) {
            out.push_back(hex[nibble]);
            started = true;
        }
    }
}

// Writes words[0..count) with the longest run of at least two zero groups (first on a tie)
// replaced by "::".
void append_groups(std::string& out, const std::array<unsigned, 8>& words, int count)
{
    int best_start = -1;
    int best_length = 1;
    for (int i = 0; i < count;) {
        if (words[static_cast<std::size_t>(i)] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < count && words[static_cast<std::size_t>(j)] == 0)
            ++j;
        if (j - i > best_length) {
            best_start = i;
            best_length = j - i;
        }
        i = j;
    }
    for (int i = 0; i < count; ++i) {
        if (i == best_start) {
            out += "::";
            i += best_length - 1;
            continue;
        }
        if (i != 0 && out.back() != ':')
            out.push_back(':');
        append_hex_group(out, words[static_cast<std::size_t>(i)]);
    }
}

}  // namespace

std::string to_string(const ip_address_v4& address)
{
    std::string out;
    out.reserve(15);
    append_dotted(out, address.octets);
    return out;
}

std::string to_string(const in6_addr& address)
{
    std::uint8_t bytes[16];
    std::memcpy(bytes, &address, 16);
    std::array<unsigned, 8> words{};
    for (std::size_t i = 0; i < 8; ++i)
        words[i] = (unsigned{bytes[2 * i]} << 8) | bytes[2 * i + 1];

    const bool first_four_zero = words[0] == 0 && words[1] == 0 && words[2] == 0 && words[3] == 0;
    const bool mapped = first_four_zero && words[4] == 0 && words[5] == 0xFFFF;
    const bool translated = first_four_zero && words[4] == 0xFFFF && words[5] == 0;
    const bool compatible = first_four_zero && words[4] == 0 && words[5] == 0 &&
                            !(words[6] == 0 && (words[7] == 0 || words[7] == 1));
    const bool isatap = (words[4] & 0xFDFF) == 0 && words[5] == 0x5EFE;

    std::string out;
    out.reserve(45);
    if (mapped || translated || compatible || isatap) {
        append_groups(out, words, 6);
        if (out.back() != ':')
            out.push_back(':');
        append_dotted(out, bytes + 12);
    } else {
        append_groups(out, words, 8);
    }
    return out;
}

std::string to_string(const ip_address_any& address)
{
    return address.is_v4() ? to_string(address.as_v4()) : to_string(address.v6);
}

}  // namespace net
