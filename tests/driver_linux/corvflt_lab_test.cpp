// End-to-end tests of the corvflt daemon over real TUN devices in namespaces of their own.
// They need root; without it they skip.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "corvflt_lab.h"
#include "driver/linux/control_client.h"
#include "tarnwell/control_interface.h"

using corvflt::linux_host::control_client;
using namespace corvflt_lab_test;
using namespace tarnwell;

namespace {

constexpr char adapter_name[] = "\\DEVICE\\{cvt0}";

#define REQUIRE_LAB(lab, parameters, medium)                                \
    if (!running_as_root())                                                 \
        GTEST_SKIP() << "lab tests need root and network namespaces";      \
    {                                                                       \
        std::string lab_error;                                              \
        ASSERT_TRUE(lab.start(parameters, &lab_error, medium)) << lab_error; \
    }

bool wait_event(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1)
        return false;
    std::uint64_t value;
    return read(fd, &value, sizeof value) == sizeof value;
}

std::uint32_t set_mode(control_client& client, std::uint64_t handle, std::uint32_t mode)
{
    ADAPTER_MODE record{handle, mode};
    return client.request(IOCTL_CORVFLT_SET_ADAPTER_MODE, &record, sizeof record, nullptr, 0);
}

std::uint32_t get_mode(control_client& client, std::uint64_t handle)
{
    ADAPTER_MODE record{handle, 0xFFFFFFFF};
    if (client.request(IOCTL_CORVFLT_GET_ADAPTER_MODE, &record, sizeof record, &record,
                       sizeof record) != 0)
        return 0xFFFFFFFF;
    return record.mode;
}

// Sends UDP datagrams from gw to 10.9.0.2:`port` (nobody listens there) until `stop`, at
// most `limit`, in bursts of 32 with a pause between them.
void udp_flood(const corvflt_lab& lab, const std::atomic<bool>& stop, unsigned limit,
               unsigned short port)
{
    corvflt_lab::in_namespace(lab.gw(), [&] {
        const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, "10.9.0.2", &to.sin_addr);
        const char payload[64] = {};
        for (unsigned sent = 0; s >= 0 && !stop.load() && sent < limit; sent += 32) {
            for (int i = 0; i < 32; ++i)
                sendto(s, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        if (s >= 0)
            close(s);
        return true;
    });
}

// Fills the adapter's queue (tunnel mode, nobody reading) and returns where it stopped
// growing: with every counted pool buffer back, exactly the 1845 the pool hands out for
// queues.
std::uint32_t fill_queue(const corvflt_lab& lab, control_client& client, std::uint64_t handle)
{
    std::uint32_t queued = 0;
    for (int round = 0; round < 60; ++round) {
        std::atomic<bool> stop{false};
        udp_flood(lab, stop, 128, 9);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::uint32_t now = 0;
        client.request(IOCTL_CORVFLT_GET_QUEUE_SIZE, &handle, 8, &now, 4);
        if (now == queued && now != 0)
            break;
        queued = now;
    }
    return queued;
}

// Shell output of `command`.
std::string output_of(const std::string& command)
{
    std::string text;
    FILE* out = popen(command.c_str(), "r");
    if (!out)
        return text;
    char chunk[512];
    while (std::size_t n = fread(chunk, 1, sizeof chunk, out))
        text.append(chunk, n);
    pclose(out);
    return text;
}

// The relay a tunnel-mode client runs: read what the adapter diverted and hand every
// packet back the way it was going, outgoing ones to the adapter, incoming ones to the stack.
class relay {
public:
    static constexpr std::uint32_t batch = 64;

    relay(control_client& client, std::uint64_t handle, int event)
        : client_(client), handle_(handle), event_(event), buffers_(batch)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~relay()
    {
        stop_ = true;
        thread_.join();
    }
    std::atomic<std::uint32_t> outgoing{0}, incoming{0}, bad_frames{0}, failed_sends{0};

private:
    void run()
    {
        std::vector<std::uint8_t> request(packet_batch_request_size(batch));
        while (!stop_) {
            wait_event(event_, 50);
            for (;;) {
                std::memcpy(request.data(), &handle_, 8);
                const std::uint32_t count = batch, zero = 0;
                std::memcpy(request.data() + 8, &count, 4);
                std::memcpy(request.data() + 12, &zero, 4);
                for (std::uint32_t i = 0; i < batch; ++i) {
                    const std::uint64_t address = reinterpret_cast<std::uintptr_t>(&buffers_[i]);
                    std::memcpy(request.data() + 16 + 8 * i, &address, 8);
                }
                const auto size = static_cast<std::uint32_t>(request.size());
                if (client_.request(IOCTL_CORVFLT_READ_BATCH, request.data(), size,
                                    request.data(), size) != 0)
                    break;
                std::uint32_t done = 0;
                std::memcpy(&done, request.data() + 12, 4);
                forward(done);
            }
        }
    }
    void forward(std::uint32_t done)
    {
        std::vector<std::uint64_t> to_adapter, to_stack;
        for (std::uint32_t i = 0; i < done; ++i) {
            const INTERMEDIATE_BUFFER& b = buffers_[i];
            static const std::uint8_t zeros[12] = {};
            const std::uint16_t type = static_cast<std::uint16_t>(b.frame[12] << 8 | b.frame[13]);
            // An IP-medium adapter hands out frames with a zero-address Ethernet header.
            if (b.length < 15 || std::memcmp(b.frame, zeros, 12) != 0 || type != 0x0800)
                ++bad_frames;
            const std::uint64_t address = reinterpret_cast<std::uintptr_t>(&b);
            if (b.direction == DIRECTION_OUTGOING) {
                ++outgoing;
                to_adapter.push_back(address);
            } else {
                ++incoming;
                to_stack.push_back(address);
            }
        }
        send(IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER, to_adapter);
        send(IOCTL_CORVFLT_SEND_BATCH_TO_STACK, to_stack);
    }
    void send(std::uint32_t code, const std::vector<std::uint64_t>& addresses)
    {
        if (addresses.empty())
            return;
        const auto count = static_cast<std::uint32_t>(addresses.size());
        std::vector<std::uint8_t> request(packet_batch_request_size(count));
        std::memcpy(request.data(), &handle_, 8);
        std::memcpy(request.data() + 8, &count, 4);
        std::memcpy(request.data() + 16, addresses.data(), 8 * addresses.size());
        if (client_.request(code, request.data(), static_cast<std::uint32_t>(request.size()),
                            nullptr, 0) != 0)
            ++failed_sends;
    }

    control_client& client_;
    std::uint64_t handle_;
    int event_;
    std::vector<INTERMEDIATE_BUFFER> buffers_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(driver_linux_lab, mode0_passes_udp_unchanged_and_stop_removes_devices)
{
    corvflt_lab lab;
    REQUIRE_LAB(lab, "", "ip");
    for (std::size_t size : {1u, 56u, 1472u}) {
        std::string detail;
        EXPECT_TRUE(udp_exchange(lab, size, 2000, &detail)) << size << " bytes: " << detail;
    }
    // A second daemon over the same control directory refuses before it touches a device,
    // and the first one keeps its socket.
    const std::string second = output_of(
        "ip netns exec " + lab.gw() + " env CORVFLT_DEVICE_DIR=" +
        lab.socket_path().substr(0, lab.socket_path().size() - 8) + " " + CORVFLT_BINARY +
        " --adapter cvt1,ip," + lab.wire() + ",cvw1 2>&1; echo exit=$?");
    EXPECT_NE(second.find("another corvflt is serving"), std::string::npos) << second;
    EXPECT_NE(second.find("exit=1"), std::string::npos) << second;
    EXPECT_NE(corvflt_lab::shell("ip -n " + lab.gw() + " link show cvt1 >/dev/null 2>&1"), 0);
    control_client still_served;
    EXPECT_TRUE(still_served.connect(lab.socket_path()));
    still_served.close();

    EXPECT_EQ(lab.stop(), 0) << lab.daemon_log();
    // Both devices were created by the daemon, so they are gone with it, and so is the socket.
    EXPECT_NE(corvflt_lab::shell("ip -n " + lab.gw() + " link show cvt0 >/dev/null 2>&1"), 0);
    EXPECT_NE(corvflt_lab::shell("ip -n " + lab.wire() + " link show cvw0 >/dev/null 2>&1"), 0);
    EXPECT_NE(access(lab.socket_path().c_str(), F_OK), 0);
}

std::uint32_t query_oid(control_client& client, std::uint64_t handle, std::uint32_t code,
                        std::uint32_t oid, std::vector<std::uint8_t>* data)
{
    std::vector<std::uint8_t> record(OID_REQUEST_RECORD_HEADER_SIZE + data->size());
    const auto length = static_cast<std::uint32_t>(data->size());
    std::memcpy(record.data(), &handle, 8);
    std::memcpy(record.data() + 8, &oid, 4);
    std::memcpy(record.data() + 12, &length, 4);
    std::memcpy(record.data() + 16, data->data(), data->size());
    const auto size = static_cast<std::uint32_t>(record.size());
    const std::uint32_t status = client.request(code, record.data(), size, record.data(), size);
    std::memcpy(data->data(), record.data() + 16, data->size());
    return status;
}

TEST(driver_linux_lab, ethernet_and_ip_adapters_describe_their_devices)
{
    for (const std::string medium : {"ethernet", "ip"}) {
        SCOPED_TRACE(medium);
        corvflt_lab lab;
        REQUIRE_LAB(lab, "", medium);
        std::string detail;
        // Over TAP this also carries the ARP exchange before the datagram.
        EXPECT_TRUE(udp_exchange(lab, 1472, 2000, &detail)) << detail;

        control_client client;
        ASSERT_TRUE(client.connect(lab.socket_path()));
        auto list = std::make_unique<ADAPTER_LIST>();
        ASSERT_EQ(client.request(IOCTL_CORVFLT_GET_ADAPTER_LIST, nullptr, 0, list.get(),
                                 sizeof(ADAPTER_LIST)), 0u);
        ASSERT_EQ(list->count, 1u);
        EXPECT_STREQ(list->names[0], adapter_name);
        const std::uint64_t handle = list->handles[0];
        const bool tap = medium == "ethernet";
        EXPECT_EQ(list->media[0], tap ? NDIS_MEDIUM_802_3 : NDIS_MEDIUM_IP);
        EXPECT_EQ(list->mtus[0], 1500);
        char mac_text[18] = "00:00:00:00:00:00";
        const std::uint8_t* mac = list->mac_addresses[0];
        std::snprintf(mac_text, sizeof mac_text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1],
                      mac[2], mac[3], mac[4], mac[5]);
        if (tap) {
            EXPECT_NE(output_of("ip -n " + lab.gw() + " -o link show cvt0").find(mac_text),
                      std::string::npos) << mac_text;
        } else {
            EXPECT_STREQ(mac_text, "00:00:00:00:00:00");
        }

        std::vector<std::uint8_t> address(6);
        EXPECT_EQ(query_oid(client, handle, IOCTL_CORVFLT_QUERY_OID, 0x01010102, &address),
                  tap ? 0u : NDIS_STATUS_NOT_SUPPORTED);
        if (tap) {
            EXPECT_EQ(std::memcmp(address.data(), mac, 6), 0);
        }
        std::vector<std::uint8_t> frame_size(4);
        EXPECT_EQ(query_oid(client, handle, IOCTL_CORVFLT_QUERY_OID, 0x00010106, &frame_size), 0u);
        std::uint32_t value = 0;
        std::memcpy(&value, frame_size.data(), 4);
        EXPECT_EQ(value, 1500u);
        std::vector<std::uint8_t> anything(4);
        EXPECT_EQ(query_oid(client, handle, IOCTL_CORVFLT_QUERY_OID, 0x00010101, &anything),
                  NDIS_STATUS_NOT_SUPPORTED);
        EXPECT_EQ(query_oid(client, handle, IOCTL_CORVFLT_SET_OID, 0x0001010E, &anything),
                  NDIS_STATUS_NOT_SUPPORTED);
    }
}

// An IPv4/UDP packet from 10.9.0.2:5555 to 10.9.0.1:`port` as an IP-medium frame (zero
// Ethernet addresses in front), UDP checksum 0 (none).
void build_udp_frame(INTERMEDIATE_BUFFER* b, std::uint16_t port, const std::string& payload)
{
    std::memset(b, 0, sizeof *b);
    std::uint8_t* f = b->frame;
    f[12] = 0x08;
    std::uint8_t* ip = f + 14;
    const auto total = static_cast<std::uint16_t>(20 + 8 + payload.size());
    const std::uint8_t header[20] = {0x45, 0, std::uint8_t(total >> 8), std::uint8_t(total), 0, 1,
                                     0, 0, 64, 17, 0, 0, 10, 9, 0, 2, 10, 9, 0, 1};
    std::memcpy(ip, header, 20);
    std::uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += std::uint32_t(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = std::uint8_t(~sum >> 8);
    ip[11] = std::uint8_t(~sum);
    std::uint8_t* udp = ip + 20;
    const auto udp_length = static_cast<std::uint16_t>(8 + payload.size());
    const std::uint8_t udp_header[8] = {0x15, 0xB3, std::uint8_t(port >> 8), std::uint8_t(port),
                                        std::uint8_t(udp_length >> 8), std::uint8_t(udp_length),
                                        0, 0};
    std::memcpy(udp, udp_header, 8);
    std::memcpy(udp + 8, payload.data(), payload.size());
    b->length = 14u + total;
}

TEST(driver_linux_lab, injected_frames_reach_the_stack_as_written_at_each_request)
{
    corvflt_lab lab;
    REQUIRE_LAB(lab, "", "ip");
    control_client client;
    ASSERT_TRUE(client.connect(lab.socket_path()));
    const std::uint64_t handle = client.find_adapter(adapter_name);
    ASSERT_NE(handle, 0u);
    std::vector<std::string> received;
    std::atomic<bool> bound{false};
    std::thread listener([&] {
        corvflt_lab::in_namespace(lab.gw(), [&] {
            const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in here{};
            here.sin_family = AF_INET;
            here.sin_port = htons(7100);
            here.sin_addr.s_addr = htonl(0x0A090001);
            const bool ok = bind(s, reinterpret_cast<sockaddr*>(&here), sizeof here) == 0;
            bound = true;
            pollfd p{s, POLLIN, 0};
            while (ok && received.size() < 3 && poll(&p, 1, 2000) == 1) {
                char data[2048];
                const ssize_t n = recv(s, data, sizeof data, 0);
                received.emplace_back(data, n > 0 ? static_cast<std::size_t>(n) : 0);
            }
            close(s);
            return ok;
        });
    });
    while (!bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The same client buffer sent three times, rewritten in between (once through the
    // batch request): each send must carry what the buffer held at that request.
    auto buffer = std::make_unique<INTERMEDIATE_BUFFER>();
    PACKET_REQUEST request{handle, reinterpret_cast<std::uintptr_t>(buffer.get())};
    build_udp_frame(buffer.get(), 7100, "first");
    EXPECT_EQ(client.request(IOCTL_CORVFLT_SEND_TO_STACK, &request, sizeof request, nullptr, 0), 0u);
    build_udp_frame(buffer.get(), 7100, "second!");
    std::vector<std::uint8_t> batch(packet_batch_request_size(1));
    const std::uint32_t one = 1;
    std::memcpy(batch.data(), &handle, 8);
    std::memcpy(batch.data() + 8, &one, 4);
    std::memcpy(batch.data() + 16, &request.buffer, 8);
    EXPECT_EQ(client.request(IOCTL_CORVFLT_SEND_BATCH_TO_STACK, batch.data(),
                             static_cast<std::uint32_t>(batch.size()), nullptr, 0), 0u);
    build_udp_frame(buffer.get(), 7100, "third");
    EXPECT_EQ(client.request(IOCTL_CORVFLT_SEND_TO_STACK, &request, sizeof request, nullptr, 0), 0u);
    listener.join();
    EXPECT_EQ(received, (std::vector<std::string>{"first", "second!", "third"}));
}

TEST(driver_linux_lab, mode3_client_reads_and_reinjects)
{
    corvflt_lab lab;
    REQUIRE_LAB(lab, "", "ip");
    control_client client;
    ASSERT_TRUE(client.connect(lab.socket_path()));
    const std::uint64_t handle = client.find_adapter(adapter_name);
    ASSERT_NE(handle, 0u);
    const int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ADAPTER_EVENT set_event{handle, static_cast<std::uint64_t>(event)};
    ASSERT_EQ(client.request(IOCTL_CORVFLT_SET_PACKET_EVENT, &set_event, sizeof set_event,
                             nullptr, 0), 0u);
    ASSERT_EQ(set_mode(client, handle, MODE_TUNNEL_SEND | MODE_TUNNEL_RECV), 0u);

    // Diverted and nobody reading: the exchange must fail, and the packet wait in the queue.
    std::string detail;
    EXPECT_FALSE(udp_exchange(lab, 56, 300, &detail, 7001));
    EXPECT_TRUE(wait_event(event, 0)) << "the packet event was not signalled";
    std::uint32_t queued = 0;
    EXPECT_EQ(client.request(IOCTL_CORVFLT_GET_QUEUE_SIZE, &handle, 8, &queued, 4), 0u);
    EXPECT_GE(queued, 1u);
    EXPECT_EQ(client.request(IOCTL_CORVFLT_FLUSH_QUEUE, &handle, 8, nullptr, 0), 0u);

    {
        relay r(client, handle, event);
        for (std::size_t size : {56u, 1472u}) {
            EXPECT_TRUE(udp_exchange(lab, size, 2000, &detail, 7002)) << size << ": " << detail;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_GE(r.outgoing.load(), 2u);
        EXPECT_GE(r.incoming.load(), 2u);
        EXPECT_EQ(r.bad_frames.load(), 0u);
        EXPECT_EQ(r.failed_sends.load(), 0u);
    }
    close(event);
}

// The daemon signals the caller's own eventfd. A blocking one is refused; one the caller
// makes blocking afterwards and fills to its maximum must still not stall the thread that
// signals it: traffic keeps flowing, requests are answered, and the daemon stops.
TEST(driver_linux_lab, a_full_caller_eventfd_never_blocks_the_daemon)
{
    corvflt_lab lab;
    REQUIRE_LAB(lab, "", "ip");
    control_client client;
    ASSERT_TRUE(client.connect(lab.socket_path()));
    const std::uint64_t handle = client.find_adapter(adapter_name);
    ASSERT_NE(handle, 0u);
    const int blocking = eventfd(0, EFD_CLOEXEC);
    ADAPTER_EVENT refused{handle, static_cast<std::uint64_t>(blocking)};
    EXPECT_EQ(client.request(IOCTL_CORVFLT_SET_PACKET_EVENT, &refused, sizeof refused, nullptr, 0),
              CORVFLT_STATUS_INVALID_PARAMETER);
    close(blocking);

    const int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ADAPTER_EVENT set_event{handle, static_cast<std::uint64_t>(event)};
    ASSERT_EQ(client.request(IOCTL_CORVFLT_SET_PACKET_EVENT, &set_event, sizeof set_event,
                             nullptr, 0), 0u);
    ASSERT_EQ(fcntl(event, F_SETFL, 0), 0);
    const std::uint64_t fullest = 0xFFFFFFFFFFFFFFFEull;
    ASSERT_EQ(write(event, &fullest, sizeof fullest), 8);
    ASSERT_EQ(set_mode(client, handle, MODE_TUNNEL_SEND | MODE_TUNNEL_RECV), 0u);
    std::string detail;
    EXPECT_FALSE(udp_exchange(lab, 56, 300, &detail, 7010));  // diverted: a signal is due
    std::uint32_t queued = 0;
    EXPECT_EQ(client.request(IOCTL_CORVFLT_GET_QUEUE_SIZE, &handle, 8, &queued, 4), 0u);
    EXPECT_GE(queued, 1u);
    ASSERT_EQ(set_mode(client, handle, 0), 0u);
    EXPECT_TRUE(udp_exchange(lab, 56, 2000, &detail, 7011)) << "the data path stalled: " << detail;
    client.close();
    EXPECT_EQ(lab.stop(), 0) << lab.daemon_log();
    close(event);
}

TEST(driver_linux_lab, link_changes_follow_the_stack_device)
{
    corvflt_lab lab;
    REQUIRE_LAB(lab, "", "ip");
    control_client client;
    ASSERT_TRUE(client.connect(lab.socket_path()));
    ASSERT_NE(client.find_adapter(adapter_name), 0u);
    const int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const std::uint64_t event_handle = static_cast<std::uint64_t>(event);
    ASSERT_EQ(client.request(IOCTL_CORVFLT_SET_LIST_CHANGE_EVENT, &event_handle, 8, nullptr, 0),
              0u);
    const std::string ip_gw = "ip -n " + lab.gw() + " ";

    // Down pauses (no list change), up restarts (list change).
    ASSERT_EQ(corvflt_lab::shell(ip_gw + "link set cvt0 down"), 0);
    EXPECT_FALSE(wait_event(event, 300));
    ASSERT_EQ(corvflt_lab::shell(ip_gw + "link set cvt0 up"), 0);
    EXPECT_TRUE(wait_event(event, 3000)) << "restart did not signal";

    // Removed: detached, signalled, gone from the list.
    ASSERT_EQ(corvflt_lab::shell(ip_gw + "link del cvt0"), 0);
    EXPECT_TRUE(wait_event(event, 3000)) << "detach did not signal";
    EXPECT_EQ(client.find_adapter(adapter_name), 0u);

    // Back again (a persistent device this time): attached and in the list.
    ASSERT_EQ(corvflt_lab::shell(ip_gw + "tuntap add dev cvt0 mode tun"), 0);
    // Attaching opens and configures a device pair: give it room on a loaded machine, and
    // show what the daemon said if it never came.
    EXPECT_TRUE(wait_event(event, 10000)) << "re-attach did not signal:\n" << lab.daemon_log();
    EXPECT_NE(client.find_adapter(adapter_name), 0u);
    close(event);
    EXPECT_EQ(lab.stop(), 0) << lab.daemon_log();
    // The daemon did not create the persistent device, so it leaves it.
    EXPECT_EQ(corvflt_lab::shell(ip_gw + "link show cvt0 >/dev/null"), 0);
}

TEST(driver_linux_lab, startup_parameters_apply_and_killed_client_resets_modes)
{
    corvflt_lab lab;
    REQUIRE_LAB(lab, "StartupMode=4\nMTUDecrement=100\n", "ip");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        control_client c;
        std::uint32_t status = 1;
        if (c.connect(lab.socket_path()))
            status = set_mode(c, c.find_adapter(adapter_name), MODE_TUNNEL_SEND | MODE_TUNNEL_RECV);
        [[maybe_unused]] ssize_t n = write(ready[1], &status, sizeof status);
        pause();
        _exit(0);
    }
    // MTUDecrement: the stack sees the reduced MTU, the list keeps the adapter's own.
    EXPECT_NE(output_of("ip -n " + lab.gw() + " -o link show cvt0").find("mtu 1400"),
              std::string::npos);
    std::uint32_t child_status = 1;
    ASSERT_EQ(read(ready[0], &child_status, sizeof child_status), 4);
    EXPECT_EQ(child_status, 0u);
    close(ready[0]);
    close(ready[1]);
    {
        // While the first client lives, a second one sees its mode.
        control_client second;
        ASSERT_TRUE(second.connect(lab.socket_path()));
        EXPECT_EQ(get_mode(second, second.find_adapter(adapter_name)), 3u);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    std::uint32_t mode = 0;
    for (int i = 0; i < 100; ++i) {
        control_client later;
        ASSERT_TRUE(later.connect(lab.socket_path()));
        mode = get_mode(later, later.find_adapter(adapter_name));
        if (mode == 4)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(mode, 4u);
}

// A relay killed while its batch reads and sends are in flight: each time the daemon puts
// the adapter back into its startup mode, and afterwards no pool buffer is missing (the
// queue fills to exactly the number of counted buffers).
TEST(driver_linux_lab, a_client_killed_mid_batch_leaves_startup_mode_and_every_buffer)
{
    corvflt_lab lab;
    REQUIRE_LAB(lab, "", "ip");
    std::atomic<bool> stop{false};
    std::thread traffic([&] { udp_flood(lab, stop, 400000, 9); });
    for (int round = 0; round < 5; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        if (child == 0) {
            control_client c;
            const int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            std::uint32_t status = 1;
            const std::uint64_t h = c.connect(lab.socket_path()) ? c.find_adapter(adapter_name) : 0;
            ADAPTER_EVENT set_event{h, static_cast<std::uint64_t>(event)};
            if (h && c.request(IOCTL_CORVFLT_SET_PACKET_EVENT, &set_event, sizeof set_event,
                               nullptr, 0) == 0)
                status = set_mode(c, h, MODE_TUNNEL_SEND | MODE_TUNNEL_RECV);
            [[maybe_unused]] ssize_t n = write(ready[1], &status, sizeof status);
            relay r(c, h, event);
            pause();
            _exit(0);
        }
        std::uint32_t status = 1;
        ASSERT_EQ(read(ready[0], &status, sizeof status), 4);
        close(ready[0]);
        close(ready[1]);
        ASSERT_EQ(status, 0u) << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(60 + 17 * round));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        // A checker that connects before the daemon saw the relay's connection end is not
        // the last handle to close: ask again with a fresh handle until the reset shows.
        std::uint32_t mode = 0xFFFFFFFF;
        for (int i = 0; i < 100 && mode != 0; ++i) {
            control_client checker;
            ASSERT_TRUE(checker.connect(lab.socket_path()));
            mode = get_mode(checker, checker.find_adapter(adapter_name));
            if (mode != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(mode, 0u) << round;
    }
    stop = true;
    traffic.join();

    control_client counter;
    ASSERT_TRUE(counter.connect(lab.socket_path()));
    const std::uint64_t handle = counter.find_adapter(adapter_name);
    ASSERT_EQ(set_mode(counter, handle, MODE_TUNNEL_SEND), 0u);
    EXPECT_EQ(fill_queue(lab, counter, handle), 1845u) << lab.daemon_log();
}

TEST(driver_linux_lab, control_socket_refuses_bad_requests_cleanly)
{
    corvflt_lab lab;
    REQUIRE_LAB(lab, "", "ip");
    control_client client;
    ASSERT_TRUE(client.connect(lab.socket_path()));
    const std::uint64_t handle = client.find_adapter(adapter_name);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(set_mode(client, handle, MODE_TUNNEL_SEND), 0u);
    std::string detail;
    udp_exchange(lab, 56, 200, &detail, 7003);  // queues one packet to read

    // An unmapped page as the INTERMEDIATE_BUFFER, and a buffer whose end runs into one.
    const long page = sysconf(_SC_PAGESIZE);
    auto* area = static_cast<std::uint8_t*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    munmap(area + page, page);
    const std::uint64_t unmapped = reinterpret_cast<std::uintptr_t>(area + page);
    const std::uint64_t half = reinterpret_cast<std::uintptr_t>(area + page - 100);
    for (std::uint64_t address : {unmapped, half, std::uint64_t{8}, ~std::uint64_t{0} - 10}) {
        PACKET_REQUEST request{handle, address};
        EXPECT_EQ(client.request(IOCTL_CORVFLT_READ_PACKET, &request, sizeof request, nullptr, 0),
                  CORVFLT_STATUS_INVALID_PARAMETER) << std::hex << address;
        EXPECT_EQ(client.request(IOCTL_CORVFLT_SEND_TO_ADAPTER, &request, sizeof request,
                                 nullptr, 0), CORVFLT_STATUS_INVALID_PARAMETER) << std::hex << address;
    }
    munmap(area, page);

    // Events must be eventfds of the caller: a pipe, a closed number, a huge number fail.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    for (std::uint64_t fd : {std::uint64_t(p[1]), std::uint64_t{999}, std::uint64_t{1} << 40}) {
        ADAPTER_EVENT set_event{handle, fd};
        EXPECT_EQ(client.request(IOCTL_CORVFLT_SET_PACKET_EVENT, &set_event, sizeof set_event,
                                 nullptr, 0), CORVFLT_STATUS_INVALID_PARAMETER) << fd;
    }
    close(p[0]);
    close(p[1]);

    // Malformed messages: shorter than the header; an absurd output length.
    const std::uint8_t short_message[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(client.raw_request(short_message, sizeof short_message),
              CORVFLT_STATUS_INVALID_PARAMETER);
    const std::uint32_t huge[2] = {IOCTL_CORVFLT_GET_VERSION, 0xFFFFFFF0u};
    EXPECT_EQ(client.raw_request(huge, sizeof huge), CORVFLT_STATUS_INSUFFICIENT_RESOURCES);
    const std::uint32_t unknown[2] = {0x12345678, 64};
    EXPECT_EQ(client.raw_request(unknown, sizeof unknown), CORVFLT_STATUS_INVALID_PARAMETER);

    // Still serving, the queued packet still there, and the biggest reply fits one message.
    PACKET_REQUEST good{handle, 0};
    auto buffer = std::make_unique<INTERMEDIATE_BUFFER>();
    good.buffer = reinterpret_cast<std::uintptr_t>(buffer.get());
    EXPECT_EQ(client.request(IOCTL_CORVFLT_READ_PACKET, &good, sizeof good, nullptr, 0), 0u);
    EXPECT_EQ(buffer->direction, DIRECTION_OUTGOING);
    auto links = std::make_unique<WAN_LINKS>();
    std::uint32_t bytes = 0;
    EXPECT_EQ(client.request(IOCTL_CORVFLT_GET_WAN_LINKS, &handle, 8, links.get(),
                             sizeof(WAN_LINKS), &bytes), 0u);
    EXPECT_EQ(bytes, sizeof(WAN_LINKS));
    std::uint32_t version = 0;
    EXPECT_EQ(client.request(IOCTL_CORVFLT_GET_VERSION, nullptr, 0, &version, 4), 0u);
    EXPECT_EQ(version, CORVFLT_DRIVER_VERSION);
    // Shared sections cannot be emulated here and are refused as out of resources.
    std::vector<std::uint8_t> section(8 + 1566 * 4);
    SHARED_SECTION_REQUEST map{reinterpret_cast<std::uintptr_t>(section.data()),
                               static_cast<std::uint32_t>(section.size())};
    EXPECT_EQ(client.request(IOCTL_CORVFLT_MAP_SHARED_SECTION, &map, sizeof map, nullptr, 0),
              CORVFLT_STATUS_INSUFFICIENT_RESOURCES);
}

TEST(driver_linux_lab, daemon_refuses_bad_setups)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root";
    struct row {
        const char* arguments;
        int exit_code;
        const char* message;
    } rows[] = {
        {"", 2, "at least one --adapter"},
        {"--adapter x0,ip,ns", 2, "STACK,MEDIUM"},
        {"--adapter x0,token-ring,ns,y0", 2, "medium must be"},
        {"--adapter x0,ip,ns,y0 --adapter x0,ip,ns,y1", 2, "named twice"},
        {"--bogus", 2, "unknown argument"},
        {"--adapter x0,ip,corvflt-no-such-ns,y0", 1, "/run/netns/corvflt-no-such-ns"},
    };
    for (const row& r : rows) {
        const std::string command = std::string(CORVFLT_BINARY) + " " + r.arguments + " 2>&1";
        FILE* out = popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string text;
        char chunk[512];
        while (std::size_t n = fread(chunk, 1, sizeof chunk, out))
            text.append(chunk, n);
        const int status = pclose(out);
        EXPECT_EQ(WEXITSTATUS(status), r.exit_code) << r.arguments << "\n" << text;
        EXPECT_NE(text.find(r.message), std::string::npos) << r.arguments << "\n" << text;
    }
}

}  // namespace
