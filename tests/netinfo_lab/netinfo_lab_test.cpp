// The rtnetlink backend against real links: each test builds its own network namespace
// (veth pairs with both ends inside, no route out), looks at it from a thread that entered
// it, and deletes it afterwards.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/interface_change_subscription.h"
#include "net/network_interfaces.h"
#include "platform/thread_error.h"

namespace {

std::atomic<int> namespace_counter{0};

int shell(const std::string& command) { return std::system(command.c_str()); }

// Owns one network namespace, removed (with its links) in the destructor.
class lab_namespace {
public:
    lab_namespace()
        : name_("cvni" + std::to_string(getpid()) + "_" + std::to_string(namespace_counter++))
    {
        created_ = shell("ip netns add " + name_ + " 2>/dev/null") == 0 &&
                   run("link set lo up");
    }
    ~lab_namespace()
    {
        if (created_)
            shell("ip netns del " + name_ + " 2>/dev/null");
    }
    bool created() const { return created_; }

    // `ip -n <ns> <arguments>`; true on success.
    bool run(const std::string& arguments) const
    {
        return shell("ip -n " + name_ + " " + arguments + " >/dev/null 2>&1") == 0;
    }
    // A veth pair with both ends here, no IPv6 link-local addresses (they would count as
    // unicast addresses), the first end with `mac`.
    bool add_veth(const std::string& end, const std::string& peer, const std::string& mac) const
    {
        return run("link add " + end + " address " + mac + " type veth peer name " + peer) &&
               run("link set " + end + " addrgenmode none") &&
               run("link set " + peer + " addrgenmode none");
    }

    // Runs `body` on a thread that entered the namespace.
    void enter(const std::function<void()>& body) const
    {
        std::thread worker([&] {
            const int fd = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            const int entered = setns(fd, CLONE_NEWNET);
            close(fd);
            ASSERT_EQ(entered, 0);
            body();
        });
        worker.join();
    }

private:
    std::string name_;
    bool created_ = false;
};

#define REQUIRE_LAB(ns)                                                  \
    if (geteuid() != 0)                                                  \
        GTEST_SKIP() << "needs root for network namespaces";             \
    if (!(ns).created())                                                 \
        GTEST_SKIP() << "cannot create a network namespace"

std::vector<std::string> names(const std::vector<net::interface_info>& records)
{
    std::vector<std::string> out;
    for (const auto& r : records)
        out.push_back(r.adapter_name);
    std::sort(out.begin(), out.end());
    return out;
}

const net::interface_info* find(const std::vector<net::interface_info>& records,
                                const std::string& adapter_name)
{
    for (const auto& r : records)
        if (r.adapter_name == adapter_name)
            return &r;
    return nullptr;
}

std::string address_text(const sockaddr_storage& s)
{
    if (s.ss_family != AF_INET)
        return "<not IPv4>";
    sockaddr_in a;
    std::memcpy(&a, &s, sizeof a);
    return net::to_string(net::ip_address_v4(a.sin_addr));
}

std::string best_name(const net::ip_address_v4& destination)
{
    const auto best = net::get_best_interface(destination);
    return best ? best->adapter_name : "<none>";
}

TEST(NetinfoLab, ListingFollowsLinkStateAndAddresses)
{
    lab_namespace ns;
    REQUIRE_LAB(ns);
    // va: up with an address (listed). vb: up without an address. vc: an address but down.
    // Their peers: up or lower-layer-down, no address. lo: up with 127.0.0.1, never listed.
    ASSERT_TRUE(ns.add_veth("va", "vap", "02:00:00:00:0a:01"));
    ASSERT_TRUE(ns.add_veth("vb", "vbp", "02:00:00:00:0b:01"));
    ASSERT_TRUE(ns.add_veth("vc", "vcp", "02:00:00:00:0c:01"));
    ASSERT_TRUE(ns.run("addr add 10.61.0.1/24 dev va"));
    ASSERT_TRUE(ns.run("addr add 10.63.0.1/24 dev vc"));
    ASSERT_TRUE(ns.run("link set va mtu 1420"));
    for (const char* link : {"va", "vap", "vb", "vbp", "vcp"})
        ASSERT_TRUE(ns.run(std::string("link set ") + link + " up"));

    ns.enter([&] {
        platform::set_thread_error(99);
        const auto records = net::get_network_interfaces();
        EXPECT_EQ(platform::get_thread_error(), 0u);
        EXPECT_EQ(names(records), std::vector<std::string>{"{va}"});
        const net::interface_info* va = find(records, "{va}");
        ASSERT_NE(va, nullptr);
        EXPECT_EQ(va->if_index, if_nametoindex("va"));
        EXPECT_EQ(va->luid & 0xFFFFFFFFu, va->if_index);
        EXPECT_EQ(va->if_type, platform::if_type_ethernet);
        EXPECT_EQ(va->friendly_name, L"va");
        EXPECT_EQ(va->mtu, 1420);
        EXPECT_EQ(va->media_type, platform::ndis_medium_802_3);
        EXPECT_EQ(va->physical_medium_type, platform::ndis_physical_medium_unspecified);
        const std::uint8_t mac[6] = {2, 0, 0, 0, 0x0a, 1};
        EXPECT_EQ(std::memcmp(va->mac_address, mac, 6), 0);
        ASSERT_EQ(va->unicast_addresses.size(), 1u);
        EXPECT_EQ(address_text(va->unicast_addresses[0]), "10.61.0.1");
        EXPECT_TRUE(va->gateways.empty());
        EXPECT_EQ(va->ipv6_if_index, 0u);
    });

    // Up with an address now listed; taking the address or the link away drops it again.
    ASSERT_TRUE(ns.run("addr add 10.62.0.1/24 dev vb"));
    ASSERT_TRUE(ns.run("link set va down"));
    ns.enter([&] { EXPECT_EQ(names(net::get_network_interfaces()), std::vector<std::string>{"{vb}"}); });
    ASSERT_TRUE(ns.run("addr del 10.62.0.1/24 dev vb"));
    ns.enter([&] { EXPECT_TRUE(net::get_network_interfaces().empty()); });
}

TEST(NetinfoLab, TunDeviceIsTheIpMediumKind)
{
    lab_namespace ns;
    REQUIRE_LAB(ns);
    // A TUN device nobody has opened has no carrier, so it is not up; its kind still
    // shows in the raw table and adapter list.
    ASSERT_TRUE(ns.run("tuntap add dev tun7 mode tun"));
    ns.enter([&] {
        std::vector<platform::interface_row> rows;
        ASSERT_EQ(platform::read_interface_table(rows), 0u);
        std::vector<platform::adapter_entry> adapters;
        ASSERT_EQ(platform::read_adapter_addresses(adapters), 0u);
        const auto tun = std::find_if(adapters.begin(), adapters.end(),
                                      [](const platform::adapter_entry& a) { return a.adapter_name == "{tun7}"; });
        ASSERT_NE(tun, adapters.end());
        EXPECT_EQ(tun->if_type, platform::if_type_prop_virtual);
        EXPECT_NE(tun->oper_status, platform::oper_status_up);
        const auto row = std::find_if(rows.begin(), rows.end(),
                                      [&](const platform::interface_row& r) { return r.luid == tun->luid; });
        ASSERT_NE(row, rows.end());
        EXPECT_EQ(row->media_type, platform::ndis_medium_ip);
        EXPECT_FALSE(row->hardware_interface);
        const auto lo = std::find_if(adapters.begin(), adapters.end(),
                                     [](const platform::adapter_entry& a) { return a.adapter_name == "{lo}"; });
        ASSERT_NE(lo, adapters.end());
        EXPECT_EQ(lo->if_type, platform::if_type_software_loopback);
        EXPECT_EQ(lo->oper_status, platform::oper_status_up);
    });
}

TEST(NetinfoLab, BestInterfaceFollowsRoutesAndGatewayMacsFollowNeighbours)
{
    lab_namespace ns;
    REQUIRE_LAB(ns);
    ASSERT_TRUE(ns.add_veth("va", "vap", "02:00:00:00:0a:01"));
    ASSERT_TRUE(ns.add_veth("vb", "vbp", "02:00:00:00:0b:01"));
    ASSERT_TRUE(ns.run("addr add 10.61.0.1/24 dev va"));
    ASSERT_TRUE(ns.run("addr add 10.62.0.1/24 dev vb"));
    for (const char* link : {"va", "vap", "vb", "vbp"})
        ASSERT_TRUE(ns.run(std::string("link set ") + link + " up"));

    // No default route: nothing, with the route lookup's error.
    ns.enter([&] {
        EXPECT_EQ(best_name(net::ip_address_v4(1, 1, 1, 1)), "<none>");
        EXPECT_EQ(platform::get_thread_error(), platform::error_network_unreachable);
    });

    ASSERT_TRUE(ns.run("route add default via 10.61.0.254 dev va"));
    ASSERT_TRUE(ns.run("neigh add 10.61.0.254 lladdr 02:00:00:00:00:fe dev va nud permanent"));
    ASSERT_TRUE(ns.run("route add 198.18.0.0/15 dev vb"));
    ns.enter([&] {
        EXPECT_EQ(best_name(net::ip_address_v4(1, 1, 1, 1)), "{va}");
        EXPECT_EQ(best_name(net::ip_address_v4(198, 18, 7, 7)), "{vb}");
        EXPECT_EQ(best_name(net::ip_address_v4(10, 62, 0, 9)), "{vb}");
        // Local destinations go through loopback, which is never listed.
        EXPECT_EQ(best_name(net::ip_address_v4(127, 0, 0, 1)), "<none>");
        EXPECT_EQ(best_name(net::ip_address_v4(10, 61, 0, 1)), "<none>");

        const auto best = net::get_best_interface(net::ip_address_v4(1, 1, 1, 1));
        ASSERT_TRUE(best.has_value());
        ASSERT_EQ(best->gateways.size(), 1u);
        EXPECT_EQ(address_text(best->gateways[0].address), "10.61.0.254");
        const std::uint8_t mac[6] = {2, 0, 0, 0, 0, 0xfe};
        EXPECT_EQ(std::memcmp(best->gateways[0].mac, mac, 6), 0);
        EXPECT_EQ(platform::get_thread_error(), 0u);
    });

    // The default route moves to vb, whose gateway has no neighbour entry.
    ASSERT_TRUE(ns.run("route replace default via 10.62.0.254 dev vb"));
    ns.enter([&] {
        const auto best = net::get_best_interface(net::ip_address_v4(1, 1, 1, 1));
        ASSERT_TRUE(best.has_value());
        EXPECT_EQ(best->adapter_name, "{vb}");
        ASSERT_EQ(best->gateways.size(), 1u);
        EXPECT_EQ(address_text(best->gateways[0].address), "10.62.0.254");
        const std::uint8_t zero[6] = {};
        EXPECT_EQ(std::memcmp(best->gateways[0].mac, zero, 6), 0);
        EXPECT_EQ(platform::get_thread_error(), platform::error_bad_net_name);
        const auto records = net::get_network_interfaces();
        const net::interface_info* va = find(records, "{va}");
        ASSERT_NE(va, nullptr);
        EXPECT_TRUE(va->gateways.empty());
    });

    // A neighbour that failed resolution does not count as resolved.
    ASSERT_TRUE(ns.run("neigh add 10.62.0.254 dev vb nud failed") ||
                ns.run("neigh add 10.62.0.254 dev vb nud incomplete"));
    ns.enter([&] {
        const auto best = net::get_best_interface(net::ip_address_v4(1, 1, 1, 1));
        ASSERT_TRUE(best.has_value());
        ASSERT_EQ(best->gateways.size(), 1u);
        const std::uint8_t zero[6] = {};
        EXPECT_EQ(std::memcmp(best->gateways[0].mac, zero, 6), 0);
    });
}

// Collects notifications from the notification thread.
struct change_log {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<platform::interface_change> changes;

    void add(const platform::interface_change& c)
    {
        std::lock_guard<std::mutex> guard(lock);
        changes.push_back(c);
        changed.notify_all();
    }
    // Waits until a change of `kind` for `index` (and `family`, unless 0) arrives.
    bool wait_for(platform::interface_change_kind kind, std::uint32_t index, std::uint16_t family)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(5), [&] {
            return std::any_of(changes.begin(), changes.end(), [&](const platform::interface_change& c) {
                return c.kind == kind && c.if_index == index && (family == 0 || c.family == family);
            });
        });
    }
    std::size_t count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return changes.size();
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(lock);
        changes.clear();
    }
};

TEST(NetinfoLab, AddressAndLinkChangesAreNotified)
{
    lab_namespace ns;
    REQUIRE_LAB(ns);
    ASSERT_TRUE(ns.add_veth("va", "vap", "02:00:00:00:0a:01"));
    ASSERT_TRUE(ns.run("link set va up"));
    ASSERT_TRUE(ns.run("link set vap up"));

    change_log log;
    ns.enter([&] {
        const std::uint32_t va = if_nametoindex("va");
        net::interface_change_subscription subscription(
            [&](const platform::interface_change& c) { log.add(c); }, nullptr);
        ASSERT_TRUE(subscription.set_notify_ip_interface_change());

        ASSERT_TRUE(ns.run("addr add 10.61.0.7/24 dev va"));
        EXPECT_TRUE(log.wait_for(platform::interface_change_kind::added, va, AF_INET));
        ASSERT_TRUE(ns.run("addr del 10.61.0.7/24 dev va"));
        EXPECT_TRUE(log.wait_for(platform::interface_change_kind::deleted, va, AF_INET));

        // A known link changing is a parameter change; a new link is added, then deleted.
        ASSERT_TRUE(ns.run("link set va mtu 1400"));
        EXPECT_TRUE(log.wait_for(platform::interface_change_kind::parameter_change, va, 0));
        ASSERT_TRUE(ns.run("link add ve type veth peer name vep"));
        const std::uint32_t ve = if_nametoindex("ve");
        ASSERT_NE(ve, 0u);
        EXPECT_TRUE(log.wait_for(platform::interface_change_kind::added, ve, 0));
        ASSERT_TRUE(ns.run("link del ve"));
        EXPECT_TRUE(log.wait_for(platform::interface_change_kind::deleted, ve, 0));

        // A default route change reaches the gateways too (their provider may move).
        ASSERT_TRUE(ns.run("addr add 10.61.0.1/24 dev va"));
        log.clear();
        ASSERT_TRUE(ns.run("route add default via 10.61.0.254 dev va"));
        EXPECT_TRUE(log.wait_for(platform::interface_change_kind::parameter_change, va, AF_INET));

        // After cancel returns, nothing more arrives.
        ASSERT_TRUE(subscription.cancel_notify_ip_interface_change());
        EXPECT_EQ(subscription.callbacks_in_progress(), 0);
        const std::size_t seen = log.count();
        ASSERT_TRUE(ns.run("addr add 10.61.0.8/24 dev va"));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(log.count(), seen);
    });
}

TEST(NetinfoLab, CancelFromInsideTheCallbackEndsTheRegistration)
{
    lab_namespace ns;
    REQUIRE_LAB(ns);
    ASSERT_TRUE(ns.add_veth("va", "vap", "02:00:00:00:0a:01"));
    ns.enter([&] {
        std::atomic<int> calls{0};
        std::atomic<bool> cancelled{false};
        platform::interface_change_registration* handle = nullptr;
        struct context_t {
            std::atomic<int>* calls;
            std::atomic<bool>* cancelled;
            platform::interface_change_registration** handle;
        } context{&calls, &cancelled, &handle};
        auto callback = [](void* c, const platform::interface_change&) {
            auto* ctx = static_cast<context_t*>(c);
            if (ctx->calls->fetch_add(1) == 0)
                ctx->cancelled->store(platform::cancel_ip_interface_change(*ctx->handle) == 0);
        };
        ASSERT_EQ(platform::notify_ip_interface_change(callback, &context, &handle), 0u);
        ASSERT_TRUE(ns.run("addr add 10.61.0.7/24 dev va"));
        for (int i = 0; i < 100 && !cancelled; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(cancelled);
        ASSERT_TRUE(ns.run("addr add 10.61.0.8/24 dev va"));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(calls.load(), 1);
    });
}

}  // namespace
