#include "dns/dns_message.h"

#include "net/byte_order.h"

namespace dns {

namespace {

constexpr std::size_t max_name_length = 255;
constexpr std::size_t type_and_class_size = 4;

std::uint8_t fold_case(std::uint8_t c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c - 'A' + 'a') : c;
}

}  // namespace

std::size_t single_question_length(const std::uint8_t* message, std::size_t length) noexcept
{
    if (length < header_size || net::load_be16(message + question_count_offset) != 1)
        return 0;
    std::size_t at = header_size;
    for (;;) {
        if (at >= length)
            return 0;
        const std::uint8_t label = message[at];
        if (label > 63)
            return 0;  // a pointer or a reserved label type
        at += 1 + std::size_t{label};
        if (at - header_size > max_name_length)
            return 0;
        if (label == 0)
            break;
    }
    if (length - at < type_and_class_size)
        return 0;
    return at + type_and_class_size - header_size;
}

bool same_question(const std::uint8_t* query, std::size_t query_length, const std::uint8_t* answer,
                   std::size_t answer_length) noexcept
{
    const std::size_t question = single_question_length(query, query_length);
    if (question == 0 || single_question_length(answer, answer_length) != question)
        return false;
    // Label lengths are at most 63, below every letter, so folding the whole name compares
    // the lengths exactly and the letters without case; type and class compare exactly.
    const std::size_t name = question - type_and_class_size;
    for (std::size_t i = header_size; i < header_size + name; ++i) {
        if (fold_case(query[i]) != fold_case(answer[i]))
            return false;
    }
    for (std::size_t i = header_size + name; i < header_size + question; ++i) {
        if (query[i] != answer[i])
            return false;
    }
    return true;
}

}  // namespace dns
