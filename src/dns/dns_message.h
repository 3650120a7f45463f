#pragma once
// The few facts of a DNS message the forwarder reads or writes: the header fields, and the
// question section that an answer must repeat before it is believed. Every reader checks its
// bounds against the length it is given; nothing here trusts a count or a label length.

#include <cstddef>
#include <cstdint>

namespace dns {

inline constexpr std::size_t header_size = 12;
inline constexpr std::size_t id_offset = 0;
inline constexpr std::size_t flags_offset = 2;
inline constexpr std::size_t question_count_offset = 4;
inline constexpr std::size_t answer_count_offset = 6;
inline constexpr std::size_t authority_count_offset = 8;
inline constexpr std::size_t additional_count_offset = 10;
inline constexpr std::uint16_t flag_truncated = 0x0200;

// The length of the question section of a message holding exactly one question whose name
// is written out in labels (no compression pointer): name, type and class. 0 for any other
// message (shorter than a header, another question count, a name that runs past the end or
// past 255 bytes, a label type other than a plain length).
std::size_t single_question_length(const std::uint8_t* message, std::size_t length) noexcept;

// True when `answer` carries the one question of `query`: the same name, letters compared
// without regard to case, the same type and class. A forged answer has to guess these too.
bool same_question(const std::uint8_t* query, std::size_t query_length, const std::uint8_t* answer,
                   std::size_t answer_length) noexcept;

}  // namespace dns
