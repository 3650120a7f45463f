#pragma once
// Opening one side of an adapter: a TUN (bare IP) or TAP (Ethernet) device, in this thread's
// network namespace or in a named peer namespace. Called from the thread that attaches
// adapters (startup and the link watch), never from the data path.

#include <cstdint>
#include <string>

namespace corvflt::linux_host {

struct tun_device {
    int fd = -1;               // non-blocking; closing it removes a device we created
    bool created = false;      // the device did not exist before we opened it
    std::uint32_t ifindex = 0;
    std::uint8_t mac[6] = {};  // TAP only
    std::uint32_t mtu = 1500;
    bool up = false;
};

// Opens (creating when missing) the device `name` of kind TUN (`tap` false) or TAP with
// IFF_NO_PI. `netns_fd` < 0: the calling thread's namespace; otherwise the device is opened
// from a short-lived thread that entered that namespace. False with `error` set on failure.
bool open_tun_device(const std::string& name, bool tap, int netns_fd, tun_device* device,
                     std::string* error);

// Opens /run/netns/NAME; -1 with `error` set when it does not exist.
int open_netns(const std::string& name, std::string* error);

// Interface facts in the calling thread's namespace; false when the interface is gone.
bool query_interface(const std::string& name, tun_device* device);

// Sets the MTU of `name` in the calling thread's namespace.
bool set_interface_mtu(const std::string& name, std::uint32_t mtu);

// Whether /dev/net/tun can be opened and the process holds CAP_NET_ADMIN (checked up front
// so that the daemon refuses to start with a clear message instead of failing half-way).
bool have_tun_device(std::string* error);
bool have_net_admin();

}  // namespace corvflt::linux_host
