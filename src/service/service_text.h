#pragma once
// Text helpers of the service host. The host's text is UTF-8; where the program keeps text in
// fixed wide-character buffers, the limits are counted in UTF-16 units so that Windows and
// Linux cut at the same place.

#include <cstddef>
#include <string>
#include <string_view>

namespace service {

// ASCII case folding only: commands and option names are ASCII, and the locale must not
// change what the program accepts.
bool equals_ignoring_case(std::string_view a, std::string_view b);

// printf-style formatting into a string of any length.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Cuts `text` so that it needs at most `max_units` UTF-16 units, never inside a character.
// A buffer of N wide characters holds N - 1 of them before its terminator.
void truncate_to_utf16_units(std::string& text, std::size_t max_units);

}  // namespace service
