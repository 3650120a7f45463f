// corvflt_tun_bridge STACK WIRE_NETNS WIRE_IF: the benchmark's baseline. Opens the same TUN
// pair corvflt would and copies packets across with one blocking thread per direction,
// nothing else -- the cost of TUN I/O alone. Runs until SIGTERM/SIGINT.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

#include "driver/linux/tun_device.h"

using namespace corvflt::linux_host;

namespace {

void copy(int from, int to)
{
    static thread_local unsigned char packet[65536];
    for (;;) {
        const ssize_t n = read(from, packet, sizeof packet);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return;
        }
        [[maybe_unused]] const ssize_t w = write(to, packet, static_cast<size_t>(n));
    }
}

int blocking(int fd)
{
    // The devices are opened non-blocking for corvflt's epoll loops; the bridge blocks.
    std::string ignored;
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: corvflt_tun_bridge STACK WIRE_NETNS WIRE_IF\n");
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::string error;
    tun_device stack, wire;
    const int ns = open_netns(argv[2], &error);
    if (ns < 0 || !open_tun_device(argv[1], false, -1, &stack, &error) ||
        !open_tun_device(argv[3], false, ns, &wire, &error)) {
        std::fprintf(stderr, "corvflt_tun_bridge: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "corvflt_tun_bridge: ready\n");
    std::thread(copy, blocking(stack.fd), wire.fd).detach();
    std::thread(copy, blocking(wire.fd), stack.fd).detach();
    int received = 0;
    sigwait(&signals, &received);
    // Exiting closes the fds, which removes the devices the bridge created.
    _exit(0);
}
