// Adapter names on Windows (under Wine in the cross build): the registry keys Wine lacks
// give no names, and nothing is a WAN miniport by component.

#include <cstring>

#include <gtest/gtest.h>

#include "platform/adapter_names.h"
#include "tarnwell/driver_client.h"
#include "tarnwell/wan_miniports.h"

namespace {

using tarnwell::CTarnwell;

TEST(tarnwell_adapter_names, win32_missing_connection_keys_give_no_name)
{
    for (const char* name : {"\\DEVICE\\{00000000-0000-0000-0000-000000000000}",
                             "\\DEVICE\\{not-a-guid}", "short", ""}) {
        char out[32];
        std::memset(out, '#', sizeof out);
        EXPECT_FALSE(CTarnwell::ResolveFriendlyName(name, out, sizeof out)) << name;
        EXPECT_EQ(out[0], '#') << name;
        EXPECT_FALSE(CTarnwell::IsComponentAdapter(name, "ms_ndiswanip")) << name;
        EXPECT_EQ(tarnwell::classify_wan_kind(name), tarnwell::WAN_KIND_NONE) << name;
    }
    // The version test is real: every Windows this runs on is at least XP.
    EXPECT_TRUE(platform::is_windows_version_or_greater(5, 1));
    EXPECT_FALSE(platform::is_windows_version_or_greater(99, 0));
    EXPECT_FALSE(platform::is_wow64_process());  // a 64-bit build

    // From Windows 10 on the fixed device names no longer identify the WAN miniports.
    char out[64] = {};
    const bool by_name = !platform::is_windows_version_or_greater(10, 0);
    EXPECT_EQ(CTarnwell::ResolveFriendlyName("\\DEVICE\\NDISWANIP", out, sizeof out), by_name);
    EXPECT_EQ(tarnwell::classify_wan_kind("\\DEVICE\\NDISWANIP"),
              by_name ? tarnwell::WAN_KIND_IP : tarnwell::WAN_KIND_NONE);
}

}  // namespace
