// Adapter names on Linux: read off the host's "\DEVICE\{ifname}" names; no components,
// and WAN miniports known by their fixed device names only.

#include <cstring>

#include <gtest/gtest.h>

#include "platform/adapter_names.h"
#include "tarnwell/driver_client.h"
#include "tarnwell/wan_miniports.h"

namespace {

using tarnwell::CTarnwell;

TEST(tarnwell_adapter_names, linux_friendly_names_come_from_the_internal_name)
{
    struct row {
        const char* internal;
        bool found;
        const char* friendly;
    };
    const row rows[] = {
        {"\\DEVICE\\{eth0}", true, "eth0"},
        {"\\device\\{corvane}", true, "corvane"},  // the prefix compares ignoring case
        {"\\DEVICE\\{}", false, nullptr},
        {"\\DEVICE\\eth0", false, nullptr},
        {"\\DEVICE\\{eth0", false, nullptr},
        {"eth0", false, nullptr},
        {"", false, nullptr},
        {"\\DEVICE\\NDISWANIP", true, "WAN Network Interface (IP)"},
        {"\\DEVICE\\NDISWANIPV6", true, "WAN Network Interface (IPv6)"},
        {"\\DEVICE\\ndiswanbh", true, "WAN Network Interface (BH)"},
    };
    for (const row& r : rows) {
        char out[64];
        std::memset(out, '#', sizeof out);
        out[sizeof out - 1] = '\0';
        EXPECT_EQ(CTarnwell::ResolveFriendlyName(r.internal, out, sizeof out), r.found)
            << r.internal;
        if (r.found)
            EXPECT_STREQ(out, r.friendly) << r.internal;
        else
            EXPECT_EQ(out[0], '#') << "untouched: " << r.internal;
    }
    // Bounded copies stay terminated inside the buffer.
    char small[4] = {'#', '#', '#', '#'};
    EXPECT_TRUE(CTarnwell::ResolveFriendlyName("\\DEVICE\\{provider0}", small, sizeof small));
    EXPECT_STREQ(small, "pro");
    EXPECT_TRUE(CTarnwell::ResolveFriendlyName("\\DEVICE\\NDISWANIP", small, sizeof small));
    EXPECT_STREQ(small, "WAN");

    EXPECT_FALSE(CTarnwell::IsComponentAdapter("\\DEVICE\\{eth0}", "ms_ndiswanip"));
    EXPECT_FALSE(platform::is_windows_version_or_greater(5, 1));
    EXPECT_FALSE(platform::is_wow64_process());
    EXPECT_EQ(tarnwell::classify_wan_kind("\\DEVICE\\{eth0}"), tarnwell::WAN_KIND_NONE);
    EXPECT_EQ(tarnwell::classify_wan_kind("\\DEVICE\\NDISWANIPV6"), tarnwell::WAN_KIND_IPV6);
    EXPECT_EQ(tarnwell::classify_wan_kind("\\DEVICE\\NDISWANBH"), tarnwell::WAN_KIND_BH);
}

}  // namespace
