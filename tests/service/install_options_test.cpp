// The "install" options: what is stored for the service, and which inputs are refused.

#include "service/install_options.h"
#include "service/service_text.h"

#include <gtest/gtest.h>

using service::install_option_error;
using service::parse_install_options;

namespace {

std::vector<std::string> install(std::vector<std::string> options)
{
    options.insert(options.begin(), {"corvane-service", "install"});
    return options;
}

}  // namespace

TEST(service_install_options, stored_command_line_follows_option_order)
{
    struct row {
        std::vector<std::string> options;
        std::string command_line;
    };
    const row rows[] = {
        {{}, "service"},
        {{"-mode", "proxy", "-interface", "wg0"}, "service -mode \"proxy\" -interface \"wg0\""},
        // "-mode" replaces the line: what came before it is lost.
        {{"-interface", "wg0", "-mode", "proxy"}, "service -mode \"proxy\""},
        {{"-MODE", "nat", "-Interface", "wg 0", "-LOG-LEVEL", "debug", "-dns", "1.1.1.1,8.8.8.8"},
         "service -mode \"nat\" -interface \"wg 0\" -log-level \"debug\" -dns \"1.1.1.1,8.8.8.8\""},
        // Plain words are skipped; a value is never taken for an option, even with a '-'.
        {{"word", "-mode", "-x", "other"}, "service -mode \"-x\""},
        {{"-start-type", "3", "-account", "-mode", "-password", "pw"}, "service"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.command_line);
        EXPECT_EQ(parse_install_options(install(r.options)).command_line, r.command_line);
    }
}

TEST(service_install_options, account_password_and_start_type)
{
    const auto defaults = parse_install_options(install({}));
    EXPECT_EQ(defaults.account, "NT AUTHORITY\\LocalService");
    EXPECT_FALSE(defaults.password.has_value());
    EXPECT_EQ(defaults.start_type, 2u);

    const auto given = parse_install_options(install({"-start-type", "4", "-account", "-mode", "-password", ""}));
    EXPECT_EQ(given.start_type, 4u);
    EXPECT_EQ(given.account, "-mode");
    ASSERT_TRUE(given.password.has_value());
    EXPECT_EQ(*given.password, "");
}

TEST(service_install_options, refused_inputs)
{
    struct row {
        std::vector<std::string> options;
        std::string message;
    };
    const std::string bad_type = "service start type must be a number between 2 and 4";
    const row rows[] = {
        {{"-start-type", "5"}, bad_type},
        {{"-start-type", "22"}, bad_type},
        {{"-start-type", "1"}, bad_type},
        {{"-start-type", ""}, bad_type},
        {{"-start-type", " 3"}, bad_type},
        {{"-foo"}, "unknown parameter: -foo"},
        {{"plain", "-mode", "nat", "-Foo", "x"}, "unknown parameter: -Foo"},
        // An option as the last argument has no value to read.
        {{"-start-type"}, "no value given for parameter: -start-type"},
        {{"-mode", "nat", "-interface"}, "no value given for parameter: -interface"},
        {{"-password"}, "no value given for parameter: -password"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.message);
        try {
            parse_install_options(install(r.options));
            ADD_FAILURE() << "accepted";
        } catch (const install_option_error& e) {
            EXPECT_EQ(e.what(), r.message);
        }
    }
}

TEST(service_install_options, stored_line_is_cut_to_its_buffer)
{
    // 259 UTF-16 units fit the 260-character buffer; a long value is cut, not rejected.
    const auto options = parse_install_options(install({"-mode", std::string(400, 'a')}));
    EXPECT_EQ(options.command_line.size(), 259u);
    EXPECT_EQ(options.command_line.substr(0, 15), "service -mode \"");
}

TEST(service_text, truncation_counts_utf16_units_and_keeps_characters_whole)
{
    struct row {
        std::string text;
        std::size_t units;
        std::string expected;
    };
    const row rows[] = {
        {"abcdef", 3, "abc"},
        {"ab", 5, "ab"},
        {"a\xC3\xA9z", 2, "a\xC3\xA9"},                   // U+00E9 is one unit
        {"\xE2\x98\x83\xE2\x98\x83", 1, "\xE2\x98\x83"},  // U+2603 is one unit
        {"a\xF0\x9F\x98\x80z", 2, "a"},                   // U+1F600 needs two: not split
        {"a\xF0\x9F\x98\x80z", 3, "a\xF0\x9F\x98\x80"},
        {"a\xE2\x98", 5, "a\xE2\x98"},  // a cut sequence at the end is kept as it is
        {"abc", 0, ""},
    };
    for (const auto& r : rows) {
        std::string text = r.text;
        service::truncate_to_utf16_units(text, r.units);
        EXPECT_EQ(text, r.expected) << r.text << " to " << r.units;
    }
    EXPECT_TRUE(service::equals_ignoring_case("InStAlL", "install"));
    EXPECT_FALSE(service::equals_ignoring_case("install ", "install"));
}
