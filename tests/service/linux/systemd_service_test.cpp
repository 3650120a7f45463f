// The Linux service backend through the real program: install and uninstall into a unit
// folder of the test's own with a stand-in systemctl that records its calls, and a real
// "service" run that speaks sd_notify to a socket the test listens on.

#include "program_runner.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pwd.h>
#include <regex>
#include <spawn.h>
#include <unistd.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A systemctl that logs each call as one line, answers is-active from a state file, lets
// "stop" make the unit inactive, and fails the verb named in $FAIL_VERB with status 4.
constexpr char stand_in_systemctl[] = R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
if [ "$1" = "$FAIL_VERB" ]; then exit 4; fi
case "$1" in
  is-active) state=$(cat "$dir/state" 2>/dev/null || echo inactive); echo "$state"
             [ "$state" = active ] && exit 0; exit 3 ;;
  stop) echo inactive > "$dir/state" ;;
esac
exit 0
)";

class service_systemd : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = make_test_directory();
        units = dir / "units";
        fs::create_directories(units);
        {
            std::ofstream script(dir / "systemctl");
            script << stand_in_systemctl;
        }
        fs::permissions(dir / "systemctl", fs::perms::owner_all);
        set_test_environment("CORVANE_RUN_DIR", dir.string());
        set_test_environment("CORVANE_SYSTEMD_UNIT_DIR", units.string());
        set_test_environment("CORVANE_SYSTEMCTL", (dir / "systemctl").string());
        // The runs of mode nat must find no driver: an empty device directory makes the
        // gateway's constructor fail, so nothing of the host's network is touched.
        set_test_environment("CORVFLT_DEVICE_DIR", dir.string());
        // The service's log folder goes under the test's directory, not /var/lib.
        set_test_environment("CORVANE_APP_DATA_DIR", (dir / "appdata").string());
        log_folder = dir / "appdata" / "Quenmark" / "Corvane VPN Gateway";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string unit() const { return read_file(units / "corvane-service.service"); }
    std::string calls() const { return read_file(dir / "calls"); }
    void set_state(const char* state) const { std::ofstream(dir / "state") << state << "\n"; }

    fs::path dir;
    fs::path units;
    fs::path log_folder;
};

// The account this test runs as: the installer may hand the log folder to it.
std::string own_account()
{
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr ? entry->pw_name : "root";
}

}  // namespace

TEST_F(service_systemd, install_writes_the_unit_and_enables_it_by_start_type)
{
    const std::string account = own_account();
    const auto result = run_service_program({"install", "-account", account, "-password", "secret", "-mode", "proxy",
                                             "-interface", "wg0"});
    EXPECT_EQ(result.output, "corvane-service is installed.\n");
    EXPECT_EQ(result.exit_code, 0);
    // Where the service will write its log: it runs as the unit's user, which owns it.
    struct stat folder {};
    ASSERT_EQ(::lstat(log_folder.c_str(), &folder), 0) << "install did not create " << log_folder;
    EXPECT_TRUE(S_ISDIR(folder.st_mode));
    EXPECT_EQ(folder.st_uid, ::geteuid());
    const std::string text = unit();
    const std::string exec = std::string("ExecStart=\"") + CORVANE_SERVICE_BINARY +
                             "\" service -mode \"proxy\" -interface \"wg0\"\n";
    EXPECT_NE(text.find(exec), std::string::npos) << text;
    EXPECT_NE(text.find("Description=Corvane Service\n"), std::string::npos);
    EXPECT_NE(text.find("X-Description=Corvane Service implements NAT/PROXY"), std::string::npos);
    EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(text.find("LimitNOFILE=65536\n"), std::string::npos) << "room for thousands of relayed connections";
    EXPECT_NE(text.find("User=" + account + "\n"), std::string::npos);
    EXPECT_EQ(text.find("secret"), std::string::npos) << "a password is never written";
    EXPECT_EQ(calls(), "daemon-reload\nenable corvane-service.service\n");

    // Installing twice: the service exists.
    const auto again = run_service_program({"install"});
    EXPECT_EQ(again.output, "CreateService failed with error code: 0x00000431\n");
    EXPECT_EQ(again.exit_code, 0);

    // A user that does not exist cannot be given the folder: said, the service stays.
    fs::remove(units / "corvane-service.service");
    const auto unknown = run_service_program({"install", "-account", "corvane-no-such-user"});
    EXPECT_EQ(unknown.output, "corvane-service is installed.\nCouldn't create the log folder " + log_folder.string() +
                                  " with error code: 0x00000534\n");
    EXPECT_TRUE(fs::exists(units / "corvane-service.service"));
}

TEST_F(service_systemd, start_types_accounts_and_unit_escaping)
{
    struct row {
        std::vector<std::string> arguments;
        std::string calls;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const row rows[] = {
        {{"install", "-start-type", "3"}, "daemon-reload\n", {"ExecStart=\"", "\" service\n"}, {"User="}},
        {{"install", "-start-type", "4", "-mode", "nat", "-interface", "50%$x"},
         "daemon-reload\nmask corvane-service.service\n",
         {"-interface \"50%%$$x\"\n"},
         {}},
    };
    for (const auto& r : rows) {
        fs::remove(units / "corvane-service.service");
        fs::remove(dir / "calls");
        const auto result = run_service_program(r.arguments);
        EXPECT_EQ(result.output, "corvane-service is installed.\n");
        EXPECT_EQ(calls(), r.calls);
        const std::string text = unit();
        for (const auto& p : r.present)
            EXPECT_NE(text.find(p), std::string::npos) << p << " in\n" << text;
        for (const auto& a : r.absent)
            EXPECT_EQ(text.find(a), std::string::npos) << a << " in\n" << text;
    }
}

TEST_F(service_systemd, install_failures_leave_nothing_behind)
{
    struct row {
        std::vector<std::string> arguments;
        std::vector<std::pair<std::string, std::string>> environment;
        std::string output;
    };
    const row rows[] = {
        {{"install"}, {{"FAIL_VERB", "enable"}}, "CreateService failed with error code: 0x00000004\n"},
        {{"install", "-mode", "nat", "-interface", "a\nExecStartPre=/bin/false"}, {},
         "CreateService failed with error code: 0x00000057\n"},
        {{"install"}, {{"CORVANE_SYSTEMD_UNIT_DIR", "/nonexistent-corvane-units"}},
         "OpenSCManager failed w/err 0x00000002\n"},
    };
    for (const auto& r : rows) {
        const auto result = run_service_program(r.arguments, r.environment);
        EXPECT_EQ(result.output, r.output);
        EXPECT_FALSE(fs::exists(units / "corvane-service.service"));
    }
}

TEST_F(service_systemd, uninstall_stops_a_running_service_and_removes_it)
{
    ASSERT_EQ(run_service_program({"install", "-start-type", "3"}).output, "corvane-service is installed.\n");
    fs::remove(dir / "calls");
    set_state("active");
    const auto result = run_service_program({"uninstall"});
    EXPECT_EQ(result.output,
              "Stopping corvane-service.\ncorvane-service is stopped.\ncorvane-service is removed.\n");
    EXPECT_FALSE(fs::exists(units / "corvane-service.service"));
    EXPECT_EQ(calls(), "is-active corvane-service.service\nstop --no-block corvane-service.service\n"
                       "is-active corvane-service.service\ndisable corvane-service.service\n"
                       "unmask corvane-service.service\ndaemon-reload\n");

    // Not running: removed without the stop messages. Not installed: the open fails.
    ASSERT_EQ(run_service_program({"install"}).output, "corvane-service is installed.\n");
    EXPECT_EQ(run_service_program({"uninstall"}).output, "corvane-service is removed.\n");
    EXPECT_EQ(run_service_program({"uninstall"}).output, "OpenService failed w/err 0x00000424\n");
}

namespace {

// Receives sd_notify datagrams until one contains `what` or the time is up.
bool wait_for_notification(int socket, const std::string& what, std::string& seen)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{socket, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0)
            continue;
        const std::string message(buffer, static_cast<std::size_t>(n));
        seen += message + "|";
        if (message.find(what) != std::string::npos)
            return true;
    }
    return false;
}

// The program runs in a network namespace of its own when the test is root: mode nat switches
// the namespace's IP forwarding on while it runs, and the host's own must stay untouched.
pid_t spawn(const std::vector<std::string>& arguments, const std::string& standard_error = {})
{
    std::vector<std::string> strings;
    if (::geteuid() == 0 && ::access("/usr/bin/unshare", X_OK) == 0)
        strings = {"/usr/bin/unshare", "--net"};
    strings.push_back(CORVANE_SERVICE_BINARY);
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!standard_error.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, standard_error.c_str(), O_WRONLY | O_APPEND, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The socket a service sends its sd_notify datagrams to; -1 on failure.
int notify_listener(const std::string& path)
{
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (listener < 0 || path.size() >= sizeof(address.sun_path))
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(listener);
        return -1;
    }
    return listener;
}

int wait_exit(pid_t pid, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        ::usleep(20000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

}  // namespace

TEST_F(service_systemd, service_run_notifies_ready_and_stops_on_sigterm)
{
    const std::string socket_path = (dir / "notify").string();
    const int listener = notify_listener(socket_path);
    ASSERT_GE(listener, 0);
    set_test_environment("NOTIFY_SOCKET", socket_path);

    const pid_t pid = spawn({"service", "-mode", "nat", "-interface", "wg0", "-log-level", "debug"});
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_GT(pid, 0);
    std::string seen;
    ASSERT_TRUE(wait_for_notification(listener, "READY=1", seen)) << seen;
    ::kill(pid, SIGTERM);
    EXPECT_TRUE(wait_for_notification(listener, "STOPPING=1", seen)) << seen;
    EXPECT_TRUE(wait_for_notification(listener, "STATUS=Stopped", seen)) << seen;
    EXPECT_EQ(wait_exit(pid, 10), 0);
    EXPECT_EQ(seen.find("STATUS=Starting|READY=1\nSTATUS=Running|"), 0u) << seen;
    ::close(listener);
}

// Under systemd the service's standard error is the journal, and `journalctl -u` must show
// its log: every line goes there too, with the file still written when its folder exists.
TEST_F(service_systemd, service_run_under_systemd_logs_to_the_journal_and_its_file)
{
    const fs::path journal = dir / "journal";
    std::ofstream(journal).close();
    struct stat info {};
    ASSERT_EQ(::stat(journal.c_str(), &info), 0);
    fs::create_directories(log_folder);
    set_test_environment("JOURNAL_STREAM", std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino));
    const std::string socket_path = (dir / "notify").string();
    const int listener = notify_listener(socket_path);
    ASSERT_GE(listener, 0);
    set_test_environment("NOTIFY_SOCKET", socket_path);

    const pid_t pid = spawn({"service", "-mode", "nat", "-interface", "wg0", "-log-level", "debug"}, journal.string());
    ::unsetenv("JOURNAL_STREAM");
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_GT(pid, 0);
    std::string seen;
    EXPECT_TRUE(wait_for_notification(listener, "READY=1", seen)) << seen;
    ::kill(pid, SIGTERM);
    EXPECT_TRUE(wait_for_notification(listener, "STATUS=Stopped", seen)) << seen;
    EXPECT_EQ(wait_exit(pid, 10), 0);
    ::close(listener);

    std::vector<std::string> journal_messages;
    std::istringstream journal_text(read_file(journal));
    for (std::string line; std::getline(journal_text, line);) {
        ASSERT_EQ(line.rfind("<6>", 0), 0u) << "a journal line without its level: " << line;
        journal_messages.push_back(line.substr(3));
    }
    std::vector<std::string> file_messages;
    std::istringstream file_text(read_file(log_folder / "corvane-gateway.log"));
    const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (.*)$)");
    for (std::string line; std::getline(file_text, line);) {
        std::smatch match;
        // A message of several lines has its time stamp on the first only.
        file_messages.push_back(std::regex_match(line, match, stamped) ? match[1].str() : line);
    }
    EXPECT_FALSE(journal_messages.empty()) << "nothing reached the journal";
    EXPECT_EQ(journal_messages, file_messages);
}

TEST_F(service_systemd, console_run_ends_on_ctrl_c)
{
    for (int signal : {SIGINT, SIGTERM}) {
        const pid_t pid = spawn({"run", "-mode", "nat", "-interface", "wg0"});
        ASSERT_GT(pid, 0);
        ::usleep(300000);
        const auto before = std::chrono::steady_clock::now();
        ::kill(pid, signal);
        EXPECT_EQ(wait_exit(pid, 5), 0) << signal;
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
    }
}
