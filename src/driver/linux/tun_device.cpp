#include "driver/linux/tun_device.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace corvflt::linux_host {

namespace {

std::string errno_text(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno) + " (" + std::to_string(errno) + ")";
}

constexpr int busy_retries = 25;
constexpr auto busy_retry_pause = std::chrono::milliseconds(20);

bool open_here(const std::string& name, bool tap, tun_device* device, std::string* error)
{
    device->created = if_nametoindex(name.c_str()) == 0;
    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno_text("open /dev/net/tun");
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    request.ifr_flags = static_cast<short>((tap ? IFF_TAP : IFF_TUN) | IFF_NO_PI);
    // A device that already exists may still be held for a moment by whoever made it:
    // `ip tuntap add` announces the device while its own descriptor is still attached, and
    // attaching then fails with EBUSY until it lets go.
    int busy_tries = 0;
    while (ioctl(fd, TUNSETIFF, &request) < 0) {
        if (errno == EBUSY && !device->created && ++busy_tries < busy_retries) {
            std::this_thread::sleep_for(busy_retry_pause);
            continue;
        }
        *error = errno_text(("TUNSETIFF " + name).c_str());
        if (errno == EINVAL)
            *error += " -- does an interface of another kind have that name?";
        close(fd);
        return false;
    }
    device->fd = fd;
    if (!query_interface(name, device)) {
        *error = errno_text(("query " + name).c_str());
        close(fd);
        device->fd = -1;
        return false;
    }
    return true;
}

}  // namespace

bool query_interface(const std::string& name, tun_device* device)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFINDEX, &request) == 0;
    if (ok)
        device->ifindex = static_cast<std::uint32_t>(request.ifr_ifindex);
    if (ok && ioctl(s, SIOCGIFMTU, &request) == 0)
        device->mtu = static_cast<std::uint32_t>(request.ifr_mtu);
    if (ok && ioctl(s, SIOCGIFFLAGS, &request) == 0)
        device->up = (request.ifr_flags & IFF_UP) != 0;
    if (ok && ioctl(s, SIOCGIFHWADDR, &request) == 0)
        std::memcpy(device->mac, request.ifr_hwaddr.sa_data, 6);
    close(s);
    return ok;
}

bool set_interface_mtu(const std::string& name, std::uint32_t mtu)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    request.ifr_mtu = static_cast<int>(mtu);
    const bool ok = ioctl(s, SIOCSIFMTU, &request) == 0;
    close(s);
    return ok;
}

bool open_tun_device(const std::string& name, bool tap, int netns_fd, tun_device* device,
                     std::string* error)
{
    if (netns_fd < 0)
        return open_here(name, tap, device, error);
    // setns changes only the calling thread's network namespace; a throw-away thread keeps
    // every other thread (and this one) where it was.
    bool ok = false;
    std::thread worker([&] {
        if (setns(netns_fd, CLONE_NEWNET) != 0) {
            *error = errno_text("setns");
            return;
        }
        ok = open_here(name, tap, device, error);
    });
    worker.join();
    return ok;
}

int open_netns(const std::string& name, std::string* error)
{
    const std::string path = "/run/netns/" + name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        *error = errno_text(("open " + path).c_str());
    return fd;
}

bool have_tun_device(std::string* error)
{
    const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *error = errno_text("cannot open /dev/net/tun");
        return false;
    }
    close(fd);
    return true;
}

bool have_net_admin()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
            return (caps >> 12) & 1;  // CAP_NET_ADMIN
        }
    }
    return false;
}

}  // namespace corvflt::linux_host
