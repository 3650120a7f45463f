#include "log/log.h"

#include <array>
#include <string>

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        // ASCII folding only: the level names are ASCII and the locale must not matter.
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

}  // namespace

bool parse_log_level(std::string_view text, log_level& level)
{
    struct name_and_level {
        std::string_view name;
        log_level value;
    };
    static constexpr std::array<name_and_level, 4> names{{
        {"none", log_level::none},
        {"info", log_level::info},
        {"debug", log_level::debug},
        {"all", log_level::all},
    }};
    for (const auto& entry : names) {
        if (equals_ignoring_case(text, entry.name)) {
            level = entry.value;
            return true;
        }
    }
    return false;
}

void log_with_prefix(const log_printer& printer, const char* prefix, std::string_view message)
{
    if (!printer)
        return;
    std::string text(prefix != nullptr ? prefix : "");
    text.append(message);
    printer(text.c_str());
}
