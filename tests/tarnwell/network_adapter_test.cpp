// network_adapter over the in-process driver: WAN links of WAN miniports with lines up,
// and what release() leaves behind.

#include "tarnwell/network_adapter.h"

#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "driver/status_records.h"
#include "filter_test_support.h"
#include "platform/adapter_names.h"
#include "tarnwell/queued_packet_filter.h"
#include "tarnwell/wan_miniports.h"

namespace {

using namespace tarnwell;
using tarnwell_test::fake_driver;

void line_up(fake_driver& d, corvflt::adapter_context* a, std::uint8_t id,
             std::uint32_t speed)
{
    std::vector<std::uint8_t> b(corvflt::WAN_LINE_UP_PROTOCOL_BUFFER + 600, 0);
    const std::uint32_t total = 1500;
    const std::uint32_t length = 600;
    std::memcpy(&b[corvflt::WAN_LINE_UP_LINK_SPEED], &speed, 4);
    std::memcpy(&b[corvflt::WAN_LINE_UP_MAXIMUM_TOTAL_SIZE], &total, 4);
    b[corvflt::WAN_LINE_UP_REMOTE_ADDRESS + 5] = id;
    b[corvflt::WAN_LINE_UP_LOCAL_ADDRESS] = 0x20;
    b[corvflt::WAN_LINE_UP_LOCAL_ADDRESS + 5] = id;
    std::memcpy(&b[corvflt::WAN_LINE_UP_PROTOCOL_BUFFER_LENGTH], &length, 4);
    std::uint8_t* protocol = &b[corvflt::WAN_LINE_UP_PROTOCOL_BUFFER];
    const std::uint8_t ipv4[4] = {100, 64, 0, id};
    std::memcpy(protocol + WAN_PROTOCOL_IPV4_OFFSET, ipv4, 4);
    for (std::uint8_t i = 0; i < 8; ++i)
        protocol[WAN_PROTOCOL_IPV6_ID_OFFSET + i] = static_cast<std::uint8_t>(0xA0 + i + id);
    d.core.on_status(a, corvflt::STATUS_INDICATION_WAN_LINE_UP, b.data(),
                     static_cast<std::uint32_t>(b.size()));
}

TEST(tarnwell_network_adapter, wan_links_of_wan_miniports_with_lines_up)
{
    fake_driver d;
    corvflt::adapter_context* ip = d.attach("\\DEVICE\\NDISWANIP", NDIS_MEDIUM_WAN);
    corvflt::adapter_context* ipv6 = d.attach("\\DEVICE\\NDISWANIPV6", NDIS_MEDIUM_WAN);
    corvflt::adapter_context* bh = d.attach("\\DEVICE\\NDISWANBH", NDIS_MEDIUM_WAN);
    corvflt::adapter_context* ethernet = d.attach("\\DEVICE\\{wan_test_eth}");
    line_up(d, ip, 1, 56000);
    line_up(d, ip, 2, 64000);
    line_up(d, ipv6, 3, 9600);
    line_up(d, bh, 4, 9600);

    // The filters name WAN miniports by their device names where the system still uses
    // them (everything but Windows 10 and later, whose registry has no such adapters).
    {
        queued_packet_filter filter(d.device(), nullptr, nullptr);
        const bool by_name = !platform::is_windows_version_or_greater(10, 0);
        for (const auto& adapter : filter.get_adapters()) {
            std::uint32_t expected = WAN_KIND_NONE;
            if (by_name && adapter->adapter_handle() == ip->handle())
                expected = WAN_KIND_IP;
            if (by_name && adapter->adapter_handle() == ipv6->handle())
                expected = WAN_KIND_IPV6;
            if (by_name && adapter->adapter_handle() == bh->handle())
                expected = WAN_KIND_BH;
            EXPECT_EQ(adapter->wan_kind(), expected) << adapter->internal_name();
        }
    }

    CTarnwell client(d.device());
    const std::uint8_t mac[6] = {};
    network_adapter wan_ip(client, ip->handle(), mac, "\\DEVICE\\NDISWANIP", "", NDIS_MEDIUM_WAN,
                           1500, WAN_KIND_IP);
    auto links = wan_ip.get_wan_links();
    ASSERT_TRUE(links.has_value());
    ASSERT_EQ(links->size(), 2u);  // oldest first
    EXPECT_EQ((*links)[0].link_speed, 56000u);
    EXPECT_EQ((*links)[1].link_speed, 64000u);
    EXPECT_EQ((*links)[0].maximum_total_size, 1500u);
    EXPECT_EQ((*links)[1].remote_address[5], 2);
    EXPECT_EQ((*links)[1].local_address[0], 0x20);
    EXPECT_EQ((*links)[1].family, WAN_ADDRESS_FAMILY_IPV4);
    const std::uint8_t second_ipv4[4] = {100, 64, 0, 2};
    EXPECT_EQ(0, std::memcmp((*links)[1].address.data(), second_ipv4, 4));

    network_adapter wan_ipv6(client, ipv6->handle(), mac, "\\DEVICE\\NDISWANIPV6", "",
                             NDIS_MEDIUM_WAN, 1500, WAN_KIND_IPV6);
    links = wan_ipv6.get_wan_links();
    ASSERT_TRUE(links.has_value());
    ASSERT_EQ(links->size(), 1u);
    EXPECT_EQ((*links)[0].family, WAN_ADDRESS_FAMILY_IPV6);
    const std::uint8_t expected_v6[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                          0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA};
    EXPECT_EQ(0, std::memcmp((*links)[0].address.data(), expected_v6, 16));

    // No value: BH miniports and other adapters, no line up, a handle the driver refuses.
    network_adapter wan_bh(client, bh->handle(), mac, "", "", NDIS_MEDIUM_WAN, 1500, WAN_KIND_BH);
    EXPECT_FALSE(wan_bh.get_wan_links().has_value());
    network_adapter plain(client, ethernet->handle(), mac, "", "", 0, 1500, WAN_KIND_NONE);
    EXPECT_FALSE(plain.get_wan_links().has_value());
    network_adapter no_lines(client, ethernet->handle(), mac, "", "", 0, 1500, WAN_KIND_IP);
    EXPECT_FALSE(no_lines.get_wan_links().has_value());
    network_adapter unknown(client, ip->handle() ^ 0x777, mac, "", "", 0, 1500, WAN_KIND_IP);
    EXPECT_FALSE(unknown.get_wan_links().has_value());
}

TEST(tarnwell_network_adapter, release_wakes_the_waiter_and_leaves_the_adapter_untouched)
{
    fake_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{release_test}");
    CTarnwell client(d.device());
    const std::uint8_t mac[6] = {};
    network_adapter adapter(client, a->handle(), mac, "\\DEVICE\\{release_test}", "release_test",
                            0, 1500);
    ASSERT_TRUE(client.AttachPacketEvent(a->handle(), adapter.packet_event().native_handle()));
    ASSERT_TRUE(adapter.set_mode(MODE_TUNNEL_SEND | MODE_TUNNEL_RECV));
    d.feed(a, DIRECTION_INCOMING, {tarnwell_test::tagged_frame(1), tarnwell_test::tagged_frame(2)});
    ASSERT_EQ(a->queue_count.load(), 2u);
    ASSERT_EQ(adapter.packet_event().reset(), true);

    adapter.release();
    EXPECT_EQ(adapter.packet_event().wait(0), platform::wait_result::signalled);
    EXPECT_EQ(adapter.mode(), 0u);
    EXPECT_TRUE(client.IsAdapterModeZero(a->handle()));
    EXPECT_EQ(a->queue_count.load(), 0u);
}

}  // namespace
