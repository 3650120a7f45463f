#include "corvflt_lab.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace corvflt_lab_test {

namespace {

std::atomic<unsigned> lab_counter{0};

bool wait_until(const std::function<bool()>& condition, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace

bool running_as_root() { return geteuid() == 0; }

corvflt_lab::corvflt_lab()
{
    const std::string suffix =
        std::to_string(getpid()) + "_" + std::to_string(lab_counter.fetch_add(1));
    gw_ = "cvg" + suffix;
    wire_ = "cvw" + suffix;
    char pattern[] = "/tmp/corvflt-lab-XXXXXX";
    if (mkdtemp(pattern))
        directory_ = pattern;
}

corvflt_lab::~corvflt_lab()
{
    stop();
    shell("ip netns del " + gw_ + " 2>/dev/null");
    shell("ip netns del " + wire_ + " 2>/dev/null");
    if (!directory_.empty())
        shell("rm -rf " + directory_);
}

int corvflt_lab::shell(const std::string& command) { return std::system(command.c_str()); }

bool corvflt_lab::in_namespace(const std::string& ns, const std::function<bool()>& body)
{
    bool result = false;
    std::thread worker([&] {
        const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        const bool entered = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        if (entered)
            result = body();
    });
    worker.join();
    return result;
}

std::string corvflt_lab::daemon_log() const
{
    std::ifstream file(directory_ + "/daemon.log");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool corvflt_lab::start(const std::string& parameters, std::string* error,
                        const std::string& medium)
{
    if (directory_.empty()) {
        *error = "no temporary directory";
        return false;
    }
    if (shell("ip netns add " + gw_) != 0 || shell("ip netns add " + wire_) != 0) {
        *error = "cannot create namespaces";
        return false;
    }
    std::vector<std::string> args = {"/usr/sbin/ip", "netns", "exec", gw_, CORVFLT_BINARY,
                                      "--adapter", "cvt0," + medium + "," + wire_ + ",cvw0"};
    if (!parameters.empty()) {
        const std::string file = directory_ + "/parameters";
        std::ofstream(file) << parameters;
        args.push_back("--parameters");
        args.push_back(file);
    }
    const std::string log = directory_ + "/daemon.log";
    const std::string env = "CORVFLT_DEVICE_DIR=" + directory_;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        dup2(fd, STDOUT_FILENO);
        putenv(const_cast<char*>(env.c_str()));
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid_ < 0) {
        *error = "fork failed";
        return false;
    }
    const bool ready = wait_until(
        [&] {
            return daemon_log().find("ready:") != std::string::npos ||
                   waitpid(pid_, nullptr, WNOHANG) != 0;
        },
        5000);
    if (!ready || daemon_log().find("ready:") == std::string::npos) {
        *error = "corvflt did not become ready:\n" + daemon_log();
        return false;
    }
    const int rc = shell("ip -n " + gw_ + " link set lo up && ip -n " + gw_ +
                         " addr add 10.9.0.1/24 dev cvt0 && ip -n " + gw_ +
                         " link set cvt0 up && ip -n " + wire_ + " link set lo up && ip -n " +
                         wire_ + " addr add 10.9.0.2/24 dev cvw0 && ip -n " + wire_ +
                         " link set cvw0 up");
    if (rc != 0) {
        *error = "cannot configure the interfaces";
        return false;
    }
    return true;
}

int corvflt_lab::stop()
{
    if (pid_ <= 0)
        return -1;
    const pid_t pid = pid_;
    pid_ = -1;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

bool udp_exchange(const corvflt_lab& lab, std::size_t size, int timeout_ms, std::string* detail,
                  unsigned short port)
{
    std::atomic<bool> bound{false};
    std::atomic<bool> give_up{false};
    std::thread echo([&] {
        corvflt_lab::in_namespace(lab.wire(), [&] {
            const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            inet_pton(AF_INET, "10.9.0.2", &address.sin_addr);
            if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                bound = true;
                return false;
            }
            bound = true;
            std::vector<char> buffer(65536);
            pollfd p{s, POLLIN, 0};
            while (!give_up && poll(&p, 1, 50) >= 0) {
                if (!(p.revents & POLLIN))
                    continue;
                sockaddr_in from{};
                socklen_t from_length = sizeof from;
                const ssize_t n = recvfrom(s, buffer.data(), buffer.size(), 0,
                                           reinterpret_cast<sockaddr*>(&from), &from_length);
                if (n >= 0)
                    sendto(s, buffer.data(), static_cast<size_t>(n), 0,
                           reinterpret_cast<sockaddr*>(&from), from_length);
                break;
            }
            close(s);
            return true;
        });
    });
    while (!bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool ok = corvflt_lab::in_namespace(lab.gw(), [&] {
        const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, "10.9.0.2", &to.sin_addr);
        std::vector<char> payload(size);
        for (std::size_t i = 0; i < size; ++i)
            payload[i] = static_cast<char>(i * 7 + 3);
        if (sendto(s, payload.data(), size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
            *detail = std::string("sendto: ") + std::strerror(errno);
            close(s);
            return false;
        }
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) {
            *detail = "no echo within " + std::to_string(timeout_ms) + " ms";
            close(s);
            return false;
        }
        std::vector<char> answer(65536);
        const ssize_t n = recv(s, answer.data(), answer.size(), 0);
        close(s);
        answer.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        if (answer != payload) {
            *detail = "echo differs (" + std::to_string(answer.size()) + " bytes)";
            return false;
        }
        return true;
    });
    give_up = true;
    echo.join();
    return ok;
}

}  // namespace corvflt_lab_test
