// corvflt_bench_relay SOCKET_PATH INTERNAL_NAME: the tunnel-mode client of the benchmark.
// Puts the adapter into mode 3, waits on its packet event, reads batches of up to 510
// packets and sends each back the way it was going (outgoing to the adapter, incoming to
// the stack), as the service's filters do. On SIGTERM/SIGINT it sets mode 0 and exits.

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/linux/control_client.h"
#include "tarnwell/control_interface.h"

using namespace tarnwell;

namespace {

volatile sig_atomic_t stopping = 0;
void on_signal(int) { stopping = 1; }

// One PACKET_BATCH_REQUEST with `capacity` addresses, built once and reused.
struct batch_request {
    explicit batch_request(std::uint32_t capacity) : bytes(packet_batch_request_size(capacity)) {}
    void set(std::uint64_t handle, std::uint32_t count)
    {
        std::memcpy(bytes.data(), &handle, 8);
        std::memcpy(bytes.data() + 8, &count, 4);
        std::memset(bytes.data() + 12, 0, 4);
    }
    void set_address(std::uint32_t i, const void* buffer)
    {
        const std::uint64_t address = reinterpret_cast<std::uintptr_t>(buffer);
        std::memcpy(bytes.data() + 16 + 8ull * i, &address, 8);
    }
    std::uint32_t done() const
    {
        std::uint32_t n;
        std::memcpy(&n, bytes.data() + 12, 4);
        return n;
    }
    std::uint32_t size(std::uint32_t count) const
    {
        return static_cast<std::uint32_t>(packet_batch_request_size(count));
    }
    std::vector<std::uint8_t> bytes;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: corvflt_bench_relay SOCKET_PATH INTERNAL_NAME\n");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    corvflt::linux_host::control_client client;
    if (!client.connect(argv[1])) {
        std::fprintf(stderr, "corvflt_bench_relay: cannot connect to %s\n", argv[1]);
        return 1;
    }
    const std::uint64_t handle = client.find_adapter(argv[2]);
    const int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ADAPTER_EVENT set_event{handle, static_cast<std::uint64_t>(event)};
    ADAPTER_MODE tunnel{handle, MODE_TUNNEL_SEND | MODE_TUNNEL_RECV};
    if (!handle ||
        client.request(IOCTL_CORVFLT_SET_PACKET_EVENT, &set_event, sizeof set_event, nullptr, 0) ||
        client.request(IOCTL_CORVFLT_SET_ADAPTER_MODE, &tunnel, sizeof tunnel, nullptr, 0)) {
        std::fprintf(stderr, "corvflt_bench_relay: cannot filter %s\n", argv[2]);
        return 1;
    }
    std::fprintf(stderr, "corvflt_bench_relay: ready\n");
    constexpr std::uint32_t capacity = MAXIMUM_PACKET_BLOCK;
    std::vector<INTERMEDIATE_BUFFER> buffers(capacity);
    batch_request read(capacity), to_adapter(capacity), to_stack(capacity);
    unsigned long long relayed = 0;
    while (!stopping) {
        pollfd p{event, POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            std::uint64_t value;
            [[maybe_unused]] const ssize_t n = ::read(event, &value, sizeof value);
        }
        for (;;) {
            read.set(handle, capacity);
            for (std::uint32_t i = 0; i < capacity; ++i)
                read.set_address(i, &buffers[i]);
            const std::uint32_t size = read.size(capacity);
            if (client.request(IOCTL_CORVFLT_READ_BATCH, read.bytes.data(), size, read.bytes.data(),
                               size) != 0)
                break;
            std::uint32_t out = 0, in = 0;
            for (std::uint32_t i = 0; i < read.done() && i < capacity; ++i) {
                if (buffers[i].direction == DIRECTION_OUTGOING)
                    to_adapter.set_address(out++, &buffers[i]);
                else
                    to_stack.set_address(in++, &buffers[i]);
            }
            if (out) {
                to_adapter.set(handle, out);
                client.request(IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER, to_adapter.bytes.data(),
                               to_adapter.size(out), nullptr, 0);
            }
            if (in) {
                to_stack.set(handle, in);
                client.request(IOCTL_CORVFLT_SEND_BATCH_TO_STACK, to_stack.bytes.data(),
                               to_stack.size(in), nullptr, 0);
            }
            relayed += out + in;
        }
    }
    ADAPTER_MODE pass{handle, 0};
    client.request(IOCTL_CORVFLT_SET_ADAPTER_MODE, &pass, sizeof pass, nullptr, 0);
    client.request(IOCTL_CORVFLT_FLUSH_QUEUE, &handle, 8, nullptr, 0);
    std::fprintf(stderr, "corvflt_bench_relay: relayed %llu packets\n", relayed);
    return 0;
}
