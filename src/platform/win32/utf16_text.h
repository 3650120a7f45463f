#pragma once
// UTF-8 <-> UTF-16 at the edge of the Win32 backend: the portable code is UTF-8, Win32's wide
// calls take UTF-16. Invalid input is replaced (U+FFFD), never rejected.

#include <string>
#include <string_view>

namespace platform::win32 {

std::wstring to_utf16(std::string_view utf8);
std::string to_utf8(std::wstring_view utf16);

}  // namespace platform::win32
