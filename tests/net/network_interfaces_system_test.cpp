// The lookups and the subscription against the real system of the build (Linux: the test's
// network namespace; Windows build: Wine, which lists the host's Linux interfaces). Only
// what both hold is asserted; no packet is sent (route lookups only).
#include <gtest/gtest.h>

#include <algorithm>

#include "net/interface_change_subscription.h"
#include "net/network_interfaces.h"
#include "platform/thread_error.h"

namespace {

TEST(NetworkInterfacesSystem, ListedRecordsAreUsableInterfaces)
{
    const auto records = net::get_network_interfaces();
    for (const net::interface_info& r : records) {
        SCOPED_TRACE(r.adapter_name);
        EXPECT_NE(r.if_type, platform::if_type_software_loopback);
        EXPECT_FALSE(r.unicast_addresses.empty());
        for (const sockaddr_storage& a : r.unicast_addresses)
            EXPECT_TRUE(a.ss_family == AF_INET || a.ss_family == AF_INET6);
        ASSERT_GE(r.adapter_name.size(), 3u);
        EXPECT_EQ(r.adapter_name.front(), '{');
        EXPECT_EQ(r.adapter_name.back(), '}');
        EXPECT_NE(r.if_index, 0u);
        EXPECT_NE(r.luid, 0u);
        EXPECT_FALSE(r.friendly_name.empty());
    }
    // Indexes and LUIDs name one interface each.
    for (std::size_t i = 0; i < records.size(); ++i)
        for (std::size_t j = i + 1; j < records.size(); ++j) {
            EXPECT_NE(records[i].if_index, records[j].if_index);
            EXPECT_NE(records[i].luid, records[j].luid);
        }
}

TEST(NetworkInterfacesSystem, BestInterfaceIsOneOfTheListedOnes)
{
    // A documentation address: the answer depends on the host's routes, but whatever comes
    // back must be a listed interface.
    const auto best = net::get_best_interface(net::ip_address_v4(192, 0, 2, 1));
    if (!best) {
        EXPECT_NE(platform::get_thread_error(), 0u) << "no interface and no error";
        return;
    }
    const auto records = net::get_network_interfaces();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(),
                            [&](const net::interface_info& r) { return r.luid == best->luid; }));
}

TEST(NetworkInterfacesSystem, SubscriptionRegistersAndCancels)
{
    std::vector<std::string> lines;
    net::interface_change_subscription s([](const platform::interface_change&) {},
                                         [&](const std::string& l) { lines.push_back(l); });
    EXPECT_TRUE(s.set_notify_ip_interface_change());
    EXPECT_FALSE(s.set_notify_ip_interface_change());
    EXPECT_TRUE(s.cancel_notify_ip_interface_change());
    EXPECT_FALSE(s.cancel_notify_ip_interface_change());
    EXPECT_TRUE(lines.empty());
}

}  // namespace
