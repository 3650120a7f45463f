#include "driver/linux/command_line.h"

#include <gtest/gtest.h>

#include "tarnwell/control_interface.h"

using namespace corvflt::linux_host;

namespace {

std::optional<options> parse(std::vector<const char*> args, std::string* error)
{
    args.insert(args.begin(), "corvflt");
    return parse_command_line(static_cast<int>(args.size()), args.data(), error);
}

TEST(driver_linux_command_line, accepts_adapters_and_parameters)
{
    std::string error;
    const auto parsed = parse({"--parameters", "/etc/p", "--adapter", "corvane,ip,vpnc,wg0",
                               "--adapter", "prov0,ethernet,inet,eth0"},
                              &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->parameters_file, "/etc/p");
    ASSERT_EQ(parsed->adapters.size(), 2u);
    EXPECT_EQ(parsed->adapters[0].medium, tarnwell::NDIS_MEDIUM_IP);
    EXPECT_EQ(parsed->adapters[1].medium, tarnwell::NDIS_MEDIUM_802_3);
    EXPECT_EQ(parsed->adapters[1].wire_netns, "inet");
    EXPECT_EQ(parsed->adapters[1].wire_name, "eth0");
}

TEST(driver_linux_command_line, refuses_malformed_command_lines)
{
    const std::vector<std::vector<const char*>> rows = {
        {},
        {"--adapter"},
        {"--parameters"},
        {"--parameters", "", "--adapter", "a,ip,n,b"},
        {"--adapter", "a,ip,n"},
        {"--adapter", "a,ip,n,b,c"},
        {"--adapter", ",ip,n,b"},
        {"--adapter", "a,IP,n,b"},
        {"--adapter", "a,ip,,b"},
        {"--adapter", "a,ip,..,b"},
        {"--adapter", "a,ip,../etc,b"},
        {"--adapter", "a,ip,n,0123456789abcdef"},  // 16 bytes: longer than IFNAMSIZ allows
        {"--adapter", "a/b,ip,n,b"},
        {"--adapter", "a b,ip,n,b"},
        {"--adapter", "a,ip,n,b", "--adapter", "a,ip,m,c"},   // same stack device twice
        {"--adapter", "a,ip,n,b", "--adapter", "c,ip,n,b"},   // same wire device twice
        {"--adapter", "a,ip,n,b", "extra"},
    };
    for (const auto& row : rows) {
        std::string error;
        EXPECT_FALSE(parse(row, &error)) << "row with " << row.size() << " arguments";
        EXPECT_FALSE(error.empty());
    }
}

TEST(driver_linux_command_line, malformed_parameter_values_leave_zero)
{
    struct row {
        const char* text;
        std::uint32_t mtu_decrement;
        std::uint32_t startup_mode;
    } rows[] = {
        {"MTUDecrement=80\nStartupMode=3\n", 80, 3},
        {"StartupMode = 0x23\r\nMTUDecrement= 4 \r\n", 4, 0x23},
        {"MTUDecrement=-1\nStartupMode=3x\n", 0, 0},
        {"MTUDecrement=4294967296\nStartupMode=\n", 0, 0},
        {"MTUDecrement=4294967295\n", 4294967295u, 0},
        {"mtudecrement=5\nStartupMode\nStartupMode==1\n", 0, 0},
        {"StartupMode=2\nStartupMode=oops\n", 0, 0},  // the last line wins, malformed or not
        {"", 0, 0},
    };
    for (const row& r : rows) {
        const auto p = parse_parameters(r.text);
        EXPECT_EQ(p.mtu_decrement, r.mtu_decrement) << r.text;
        EXPECT_EQ(p.startup_mode, r.startup_mode) << r.text;
    }
    std::string error;
    const auto missing = read_parameters_file("/nonexistent/corvflt-parameters", &error);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(missing.startup_mode, 0u);
}

}  // namespace
