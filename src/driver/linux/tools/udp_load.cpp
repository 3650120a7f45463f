// corvflt_udp_load GW_NETNS WIRE_NETNS SECONDS SIZE: bounded load for the benchmark. A
// sender in GW_NETNS sends SIZE-byte UDP datagrams from 10.9.0.1 to 10.9.0.2:9 as fast as
// it can for SECONDS (at most 60); a receiver in WIRE_NETNS counts what arrives. Prints the
// received packets per second. Only the two lab addresses are ever used.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

bool enter(const char* ns)
{
    const int fd = open((std::string("/run/netns/") + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

sockaddr_in lab_address(const char* ip, unsigned short port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: corvflt_udp_load GW_NETNS WIRE_NETNS SECONDS SIZE\n");
        return 2;
    }
    const int seconds = std::atoi(argv[3]);
    const int size = std::atoi(argv[4]);
    if (seconds < 1 || seconds > 60 || size < 1 || size > 1472) {
        std::fprintf(stderr, "corvflt_udp_load: SECONDS 1..60, SIZE 1..1472\n");
        return 2;
    }
    std::atomic<bool> receiving{false}, stop{false};
    std::atomic<unsigned long long> received{0}, sent{0};
    std::atomic<bool> failed{false};

    std::thread receiver([&] {
        const sockaddr_in here = lab_address("10.9.0.2", 9);
        const int s = enter(argv[2]) ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
        const int buffer = 8 << 20;
        if (s < 0 || setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0 ||
            bind(s, reinterpret_cast<const sockaddr*>(&here), sizeof here) != 0) {
            failed = true;
            receiving = true;
            return;
        }
        receiving = true;
        constexpr int batch = 64;
        std::vector<char> data(batch * 2048);
        mmsghdr messages[batch];
        iovec vectors[batch];
        for (int i = 0; i < batch; ++i) {
            vectors[i] = {data.data() + i * 2048, 2048};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        pollfd p{s, POLLIN, 0};
        while (!stop) {
            if (poll(&p, 1, 100) != 1)
                continue;
            const int n = recvmmsg(s, messages, batch, MSG_DONTWAIT, nullptr);
            if (n > 0)
                received += static_cast<unsigned>(n);
        }
        close(s);
    });
    while (!receiving)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (failed) {
        receiver.join();
        std::fprintf(stderr, "corvflt_udp_load: receiver setup failed\n");
        return 1;
    }
    std::thread sender([&] {
        const sockaddr_in to = lab_address("10.9.0.2", 9);
        const int s = enter(argv[1]) ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
        if (s < 0 || connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            failed = true;
            return;
        }
        constexpr int batch = 32;
        std::vector<char> payload(static_cast<std::size_t>(size), 'x');
        mmsghdr messages[batch];
        iovec vector{payload.data(), payload.size()};
        for (auto& m : messages) {
            m = {};
            m.msg_hdr.msg_iov = &vector;
            m.msg_hdr.msg_iovlen = 1;
        }
        while (!stop) {
            const int n = sendmmsg(s, messages, batch, 0);
            if (n > 0)
                sent += static_cast<unsigned>(n);
        }
        close(s);
    });
    // The first half second warms up the path; count only the rest.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const unsigned long long start_count = received.load();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const unsigned long long end_count = received.load();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stop = true;
    sender.join();
    receiver.join();
    if (failed) {
        std::fprintf(stderr, "corvflt_udp_load: sender setup failed\n");
        return 1;
    }
    std::printf("%.0f\n", static_cast<double>(end_count - start_count) / elapsed);
    return 0;
}
