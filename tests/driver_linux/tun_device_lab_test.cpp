// Opening TUN devices in a namespace of the test's own. Needs root; without it, skips.

#include <gtest/gtest.h>

#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "driver/linux/tun_device.h"

namespace {

using namespace corvflt::linux_host;

int shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// `ip tuntap add` announces a new persistent device while its own descriptor is still
// attached; a daemon that attaches on that announcement must wait for it, not give up.
TEST(driver_linux_tun, attaching_a_device_its_creator_still_holds_waits_for_it)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root and network namespaces";
    const std::string ns = "corvane-tun-" + std::to_string(getpid());
    ASSERT_EQ(shell("ip netns add " + ns), 0);
    std::string error;
    const int netns = open_netns(ns, &error);
    ASSERT_GE(netns, 0) << error;

    tun_device creator;
    ASSERT_TRUE(open_tun_device("cvb0", false, netns, &creator, &error)) << error;
    ASSERT_EQ(ioctl(creator.fd, TUNSETPERSIST, 1), 0);
    std::thread let_go([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        close(creator.fd);
    });
    tun_device attached;
    const bool ok = open_tun_device("cvb0", false, netns, &attached, &error);
    let_go.join();
    EXPECT_TRUE(ok) << error;
    EXPECT_FALSE(attached.created);
    if (ok)
        close(attached.fd);

    shell("ip -n " + ns + " tuntap del dev cvb0 mode tun");
    close(netns);
    EXPECT_EQ(shell("ip netns del " + ns), 0);
}

}  // namespace
