// The control socket of the corvflt daemon as a privilege boundary, served in this process
// by a real Linux host without adapters: who may connect, whose memory a connection names,
// replies larger than one message, and connection limits. Needs root (uid changes,
// pidfd_getfd of other processes); without it the tests skip.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/linux/control_client.h"
#include "driver/linux/control_server.h"
#include "driver/linux/linux_host.h"
#include "platform/control_device.h"
#include "tarnwell/control_interface.h"

namespace {

using corvflt::linux_host::control_client;
using corvflt::linux_host::control_server;
using corvflt::linux_host::linux_host;
using namespace tarnwell;

constexpr std::uint32_t socket_failed = 0xFFFFFFFF;
constexpr std::uint32_t status_access_denied = 0xC0000022;
constexpr uid_t nobody = 65534;

#define REQUIRE_ROOT()                                         \
    if (geteuid() != 0)                                        \
    GTEST_SKIP() << "the control socket tests need root"

// A daemon's control side in this process: a loaded core without adapters behind a
// control server on a directory of the test's own.
struct daemon_env {
    explicit daemon_env(std::uint32_t max_connections = control_server::default_max_connections)
        : server(host.core(), max_connections)
    {
        char pattern[] = "/tmp/corvflt-ctl-XXXXXX";
        root = mkdtemp(pattern) ? pattern : "";
        directory = root + "/run/dev";
        EXPECT_TRUE(host.start({}));
        std::string error;
        started = server.start(directory, &error);
        EXPECT_TRUE(started) << error;
    }
    ~daemon_env()
    {
        server.stop();
        host.shutdown();
        std::system(("rm -rf " + root).c_str());
    }

    linux_host host;
    control_server server;
    std::string root, directory;
    bool started = false;
};

std::uint32_t version_of(control_client& client, std::uint32_t* version = nullptr)
{
    std::uint32_t v = 0;
    const std::uint32_t status = client.request(IOCTL_CORVFLT_GET_VERSION, nullptr, 0, &v, 4);
    if (version)
        *version = v;
    return status;
}

// Waits (at most 5 s) until the server holds exactly `count` open handles.
bool until_open_connections(control_server& server, std::size_t count)
{
    for (int i = 0; i < 500; ++i) {
        if (server.open_connections() == count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Sends one u32 over a pipe / waits for one (the fork handshakes below).
void put(int fd, std::uint32_t v) { [[maybe_unused]] ssize_t n = write(fd, &v, sizeof v); }
std::uint32_t take(int fd)
{
    std::uint32_t v = socket_failed;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) == 1 && read(fd, &v, sizeof v) != sizeof v)
        v = socket_failed;
    return v;
}

// The lowest descriptor number free now: a descriptor limit at it leaves none to allocate
// (the limit bounds numbers, and every number below it is taken).
int lowest_free_fd()
{
    const int fd = fcntl(STDERR_FILENO, F_DUPFD, 0);
    if (fd >= 0)
        close(fd);
    return fd;
}

double cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(driver_linux_control, only_root_reaches_the_device)
{
    REQUIRE_ROOT();
    daemon_env env;
    ASSERT_TRUE(env.started);
    struct stat st {};
    ASSERT_EQ(stat(env.directory.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "directory";
    ASSERT_EQ(stat(env.server.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "socket";

    // Directories another user could change are refused, and so is a link to one.
    struct row {
        const char* what;
        std::string setup;
    };
    const std::string other = env.root + "/other";
    const row rows[] = {
        {"writable by others", "mkdir -m 0777 " + other},
        {"writable by its group", "mkdir -m 0770 " + other},
        {"owned by another user", "mkdir -m 0700 " + other + " && chown 65534 " + other},
        {"a symbolic link", "ln -s " + env.directory + " " + other},
    };
    for (const row& r : rows) {
        ASSERT_EQ(std::system(("rm -rf " + other + " && " + r.setup).c_str()), 0) << r.what;
        control_server second(env.host.core());
        std::string error;
        EXPECT_FALSE(second.start(other, &error)) << r.what;
        EXPECT_FALSE(error.empty()) << r.what;
    }

    // Even with the file modes opened up, a process of another uid is turned away at accept.
    ASSERT_EQ(chmod(env.directory.c_str(), 0755), 0);
    ASSERT_EQ(chmod(env.server.path().c_str(), 0666), 0);
    ASSERT_EQ(chmod(env.root.c_str(), 0755), 0);
    ASSERT_EQ(chmod((env.root + "/run").c_str(), 0755), 0);
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    if (child == 0) {
        std::uint32_t status = 1;
        if (setgid(nobody) == 0 && setuid(nobody) == 0) {
            control_client c;
            status = c.connect(env.server.path()) ? version_of(c) : 2;
        }
        put(result[1], status);
        _exit(0);
    }
    EXPECT_EQ(take(result[0]), socket_failed) << "a non-root caller was served";
    waitpid(child, nullptr, 0);
    close(result[0]);
    close(result[1]);
    control_client root_client;
    ASSERT_TRUE(root_client.connect(env.server.path()));
    EXPECT_EQ(version_of(root_client), 0u);
}

// A connection names the process that opened it. When that process exits or execs while a
// child keeps the connection, nothing more is done in its name: no reply from the old
// identity, no descriptor taken out of the program it runs now.
TEST(driver_linux_control, requests_end_once_the_opener_exited_or_execd)
{
    REQUIRE_ROOT();
    daemon_env env;
    ASSERT_TRUE(env.started);
    enum class fate { stays, exits, execs };
    for (const fate f : {fate::stays, fate::exits, fate::execs}) {
        SCOPED_TRACE(f == fate::stays ? "stays" : f == fate::exits ? "exits" : "execs");
        int go[2], result[2];
        ASSERT_EQ(pipe(go), 0);
        ASSERT_EQ(pipe(result), 0);
        const pid_t opener = fork();
        if (opener == 0) {
            control_client c;
            // Survives an exec: the new program holds it under the same number.
            const int event = eventfd(0, EFD_NONBLOCK);
            // One answered request: the daemon has taken this process as the opener.
            if (!c.connect(env.server.path()) || event < 0 || version_of(c) != 0)
                _exit(1);
            if (fork() == 0) {
                take(go[0]);
                put(result[1], version_of(c));
                const std::uint64_t number = static_cast<std::uint64_t>(event);
                put(result[1], c.request(IOCTL_CORVFLT_SET_LIST_CHANGE_EVENT, &number, 8,
                                         nullptr, 0));
                _exit(0);
            }
            if (f == fate::exits)
                _exit(0);
            if (f == fate::execs)
                execl("/bin/sleep", "sleep", "20", static_cast<char*>(nullptr));
            pause();
            _exit(0);
        }
        if (f == fate::exits) {
            waitpid(opener, nullptr, 0);
        } else if (f == fate::execs) {
            // Wait until the opener runs the other program.
            const std::string comm = "/proc/" + std::to_string(opener) + "/comm";
            std::string name;
            for (int i = 0; i < 500 && name != "sleep"; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                std::ifstream(comm) >> name;
            }
            ASSERT_EQ(name, "sleep");
        }
        put(go[1], 1);
        const std::uint32_t version_status = take(result[0]);
        const std::uint32_t event_status = take(result[0]);
        if (f == fate::stays) {
            EXPECT_EQ(version_status, 0u);
            EXPECT_EQ(event_status, 0u);
        } else {
            EXPECT_EQ(version_status, status_access_denied);
            EXPECT_NE(event_status, 0u);
        }
        if (f != fate::exits) {
            kill(opener, SIGKILL);
            waitpid(opener, nullptr, 0);
        }
        for (int fd : {go[0], go[1], result[0], result[1]})
            close(fd);
    }
    // The daemon still serves everyone else.
    control_client c;
    ASSERT_TRUE(c.connect(env.server.path()));
    EXPECT_EQ(version_of(c), 0u);
}

// Outputs far beyond one socket message (a filter table read into 4 and 8 MiB) arrive
// whole, and the handle lives on: a failed reply would have closed it, and with the last
// handle the table would have been removed.
TEST(driver_linux_control, large_replies_arrive_whole_without_losing_the_handle)
{
    REQUIRE_ROOT();
    daemon_env env;
    ASSERT_TRUE(env.started);
    control_client c;
    ASSERT_TRUE(c.connect(env.server.path()));
    std::vector<std::uint8_t> table(filter_table_size(3), 0);
    const std::uint32_t three = 3;
    std::memcpy(table.data(), &three, 4);
    for (std::uint32_t i = 0; i < 3; ++i) {
        STATIC_FILTER e;
        std::memset(&e, 0, sizeof e);
        e.adapter_handle = 0x1000 + i;
        e.direction = DIRECTION_INCOMING;
        e.action = FILTER_ACTION_PASS;
        std::memcpy(table.data() + FILTER_TABLE_HEADER_SIZE + 181 * i, &e, sizeof e);
    }
    ASSERT_EQ(c.request(IOCTL_CORVFLT_SET_FILTER_TABLE, table.data(),
                        static_cast<std::uint32_t>(table.size()), nullptr, 0),
              0u);
    for (const std::uint32_t size : {4u << 20, control_server::max_system_buffer}) {
        std::vector<std::uint8_t> out(size, 0xEE);
        std::uint32_t bytes = 0;
        ASSERT_EQ(c.request(IOCTL_CORVFLT_GET_FILTER_TABLE, nullptr, 0, out.data(), size, &bytes),
                  0u)
            << size;
        EXPECT_EQ(bytes, size);
        std::uint32_t count = 0;
        std::memcpy(&count, out.data(), 4);
        EXPECT_EQ(count, 3u);
        for (std::uint32_t i = 0; i < 3; ++i) {
            STATIC_FILTER e;
            std::memcpy(&e, out.data() + FILTER_TABLE_HEADER_SIZE + 181 * i, sizeof e);
            EXPECT_EQ(+e.adapter_handle, 0x1000u + i);
        }
        EXPECT_EQ(out[size - 1], 0u) << "the tail is the zeroed system buffer";
    }
    std::uint32_t count = 0;
    EXPECT_EQ(c.request(IOCTL_CORVFLT_GET_FILTER_TABLE_SIZE, nullptr, 0, &count, 4), 0u);
    EXPECT_EQ(count, 3u);
}

// Posted requests (the packet filters' batch sends) are served in order before whatever
// the client asks next, and their replies -- failures among them, some held back by the
// daemon while requests waited behind them -- are never taken for the next request's: the
// size read after each round is the last table posted, with success.
TEST(driver_linux_control, posted_requests_complete_in_order_before_the_next_reply)
{
    REQUIRE_ROOT();
    daemon_env env;
    ASSERT_TRUE(env.started);
    ASSERT_EQ(setenv("CORVFLT_DEVICE_DIR", env.directory.c_str(), 1), 0);
    platform::open_device_result opened = platform::open_control_device("\\\\.\\CORVFLT");
    unsetenv("CORVFLT_DEVICE_DIR");
    ASSERT_TRUE(opened.device) << opened.error;
    platform::control_device& device = *opened.device;

    const auto table_of = [](std::uint32_t count) {
        std::vector<std::uint8_t> table(filter_table_size(count), 0);
        std::memcpy(table.data(), &count, 4);
        for (std::uint32_t i = 0; i < count; ++i) {
            STATIC_FILTER e;
            std::memset(&e, 0, sizeof e);
            e.direction = DIRECTION_INCOMING;
            e.action = FILTER_ACTION_PASS;
            std::memcpy(table.data() + FILTER_TABLE_HEADER_SIZE + 181 * i, &e, sizeof e);
        }
        return table;
    };
    // A batch for an adapter that does not exist: refused by the driver.
    std::vector<std::uint8_t> refused(packet_batch_request_size(1), 0);
    const std::uint64_t no_adapter = 0x4242;
    const std::uint32_t one = 1;
    std::memcpy(refused.data(), &no_adapter, 8);
    std::memcpy(refused.data() + 8, &one, 4);

    // Rounds below, at and far beyond what either side keeps unanswered.
    for (const std::uint32_t posts : {1u, 8u, 9u, 40u}) {
        SCOPED_TRACE(posts);
        for (std::uint32_t i = 1; i <= posts; ++i) {
            const std::vector<std::uint8_t> table = table_of(i % 5 + 1);
            ASSERT_EQ(device.post(IOCTL_CORVFLT_SET_FILTER_TABLE, table.data(),
                                  static_cast<std::uint32_t>(table.size())),
                      0u);
            ASSERT_EQ(device.post(IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER, refused.data(),
                                  static_cast<std::uint32_t>(refused.size())),
                      0u);
        }
        std::uint32_t count = 0;
        std::uint32_t bytes = 0;
        ASSERT_EQ(device.control(IOCTL_CORVFLT_GET_FILTER_TABLE_SIZE, nullptr, 0, &count, 4, &bytes), 0u);
        EXPECT_EQ(bytes, 4u);
        EXPECT_EQ(count, posts % 5 + 1);
    }
    // complete_posted waits for the last posts; nothing is left to mistake afterwards.
    const std::vector<std::uint8_t> last = table_of(2);
    ASSERT_EQ(device.post(IOCTL_CORVFLT_SET_FILTER_TABLE, last.data(), static_cast<std::uint32_t>(last.size())), 0u);
    device.complete_posted();
    device.complete_posted();
    std::uint32_t version = 0xFFFFFFFF;
    EXPECT_EQ(device.control(IOCTL_CORVFLT_GET_VERSION, nullptr, 0, &version, 4, nullptr), 0u);
    EXPECT_EQ(version, CORVFLT_DRIVER_VERSION);
    EXPECT_EQ(device.post(IOCTL_CORVFLT_SET_FILTER_TABLE, nullptr, 8), platform::error_invalid_parameter);

    // The daemon goes away with posts unanswered: the next request says so, and so does
    // every later one, posted or not.
    for (int i = 0; i < 3; ++i)
        device.post(IOCTL_CORVFLT_SET_FILTER_TABLE, last.data(), static_cast<std::uint32_t>(last.size()));
    env.server.stop();
    EXPECT_EQ(device.control(IOCTL_CORVFLT_GET_VERSION, nullptr, 0, &version, 4, nullptr),
              platform::error_device_not_connected);
    EXPECT_EQ(device.post(IOCTL_CORVFLT_SET_FILTER_TABLE, last.data(), static_cast<std::uint32_t>(last.size())),
              platform::error_device_not_connected);
    device.complete_posted();
}

// A cap on open handles, and no busy loop when the process runs out of descriptors: the
// pending connection waits in the backlog and is served once descriptors are back.
TEST(driver_linux_control, connections_are_capped_and_descriptor_exhaustion_backs_off)
{
    REQUIRE_ROOT();
    daemon_env env(4);
    ASSERT_TRUE(env.started);
    std::vector<std::unique_ptr<control_client>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<control_client>());
        ASSERT_TRUE(clients.back()->connect(env.server.path()));
        ASSERT_EQ(version_of(*clients.back()), 0u) << i;
    }
    control_client fifth;
    ASSERT_TRUE(fifth.connect(env.server.path()));  // into the backlog, then closed
    EXPECT_EQ(version_of(fifth), socket_failed);
    // A closed handle frees its slot once its connection thread has read the end; the
    // next accept then reaps it and serves the newcomer.
    clients.pop_back();
    ASSERT_TRUE(until_open_connections(env.server, 3));
    {
        control_client again;
        ASSERT_TRUE(again.connect(env.server.path()));
        EXPECT_EQ(version_of(again), 0u) << "a freed slot was not given out again";
    }
    clients.clear();
    ASSERT_TRUE(until_open_connections(env.server, 0));
    // Accepting this one reaps the connections closed above; kept open, it leaves none to
    // reap (and no descriptor to free) during the exhaustion below.
    control_client keeper;
    ASSERT_TRUE(keeper.connect(env.server.path()));
    ASSERT_EQ(version_of(keeper), 0u);

    int go[2], result[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    if (child == 0) {
        take(go[0]);
        control_client c;
        put(result[1], c.connect(env.server.path()) ? 0u : 1u);
        take(go[0]);
        put(result[1], version_of(c));
        _exit(0);
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free_fd());  // no new descriptor at all
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    put(go[1], 1);
    const std::uint32_t connected = take(result[0]);
    const double before = cpu_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double spent = cpu_seconds() - before;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(connected, 0u);
    EXPECT_LT(spent, 0.1) << "the accept loop spun while out of descriptors";
    put(go[1], 1);
    EXPECT_EQ(take(result[0]), 0u) << "the waiting connection was not served afterwards";
    waitpid(child, nullptr, 0);
    for (int fd : {go[0], go[1], result[0], result[1]})
        close(fd);
}

}  // namespace
