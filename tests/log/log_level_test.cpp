#include "log/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(service_log_level, option_words_in_any_case_and_unknown_words_keep_the_level)
{
    struct row {
        const char* text;
        log_level before;
        bool recognised;
        log_level after;
    };
    const row rows[] = {
        {"none", log_level::all, true, log_level::none},
        {"info", log_level::none, true, log_level::info},
        {"debug", log_level::none, true, log_level::debug},
        {"DEBUG", log_level::info, true, log_level::debug},
        {"All", log_level::none, true, log_level::all},
        {"iNfO", log_level::all, true, log_level::info},
        // Anything else leaves the previous level in force.
        {"verbose", log_level::debug, false, log_level::debug},
        {"3", log_level::info, false, log_level::info},
        {"", log_level::all, false, log_level::all},
        {"debug ", log_level::info, false, log_level::info},
        {"debu", log_level::info, false, log_level::info},
        {"debugg", log_level::none, false, log_level::none},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string("\"") + r.text + "\"");
        log_level level = r.before;
        EXPECT_EQ(parse_log_level(r.text, level), r.recognised);
        EXPECT_EQ(level, r.after);
    }
    // Levels are ordered so that callers gate with a plain comparison.
    EXPECT_LT(log_level::none, log_level::info);
    EXPECT_LT(log_level::debug, log_level::all);
    EXPECT_EQ(static_cast<unsigned>(log_level::all), 3u);
}

TEST(service_log_with_prefix, passes_prefix_and_message_only_when_a_printer_is_set)
{
    std::vector<std::string> lines;
    const log_printer printer = [&](const char* text) { lines.emplace_back(text); };

    log_with_prefix(printer, "tcp_proxy_server: ", "accepted 10.66.0.2:50000");
    log_with_prefix(printer, "wintun_nat_gateway: ", "");
    log_with_prefix(printer, nullptr, "bare");
    log_with_prefix(log_printer{}, "dns_proxy_service: ", "dropped silently");

    const std::vector<std::string> expected = {
        "tcp_proxy_server: accepted 10.66.0.2:50000",
        "wintun_nat_gateway: ",
        "bare",
    };
    EXPECT_EQ(lines, expected);
}

}  // namespace
