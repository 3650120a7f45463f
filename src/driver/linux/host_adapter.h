#pragma once
// One adapter of the Linux host: the stack-side device in corvflt's namespace and the
// wire-side device in the peer namespace, and the core's record for the pair.
//
// Owned by linux_host. Written only by the lifecycle thread (startup, link watch, shutdown);
// the I/O loops and control threads read the fds, which stay open until the adapter has
// been removed from the loops and paused in the core.

#include <atomic>
#include <cstdint>
#include <string>

#include "driver/driver.h"
#include "driver/linux/command_line.h"
#include "driver/linux/tun_device.h"

namespace corvflt::linux_host {

struct host_adapter {
    adapter_spec spec;
    std::string internal_name;  // "\DEVICE\{<ifname>}"
    tun_device stack;           // send path reads here, indications are written here
    tun_device wire;            // receive path reads here, sends are written here
    adapter_context* context = nullptr;
    std::uint32_t adapter_mtu = 1500;  // MTU reported to the core at every restart
    bool running = false;       // restarted and not paused since
    bool last_up = false;       // IFF_UP of the stack device as last seen
    std::atomic<std::uint64_t> write_failures{0};

    bool ip_medium() const { return spec.medium != 0; }
};

}  // namespace corvflt::linux_host
