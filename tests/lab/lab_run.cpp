#include "lab_run.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace lab_test {

namespace {

std::atomic<unsigned> run_counter{0};

// Shell-quotes `text` in single quotes.
std::string quoted(const std::string& text)
{
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

}  // namespace

bool running_as_root() { return geteuid() == 0; }

command_result shell(const std::string& command)
{
    command_result result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool process_running(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    // The state follows the parenthesised command name, which may itself hold ") ".
    const auto close = line.rfind(") ");
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

lab_run::lab_run()
{
    // pid + counter: unique across parallel test processes and within one process.
    prefix_ = "lt" + std::to_string(getpid()) + "x" + std::to_string(run_counter.fetch_add(1));
}

lab_run::~lab_run()
{
    if (is_up_)
        down();
}

bool lab_run::up(const std::string& options, std::string* error, const std::string& environment)
{
    is_up_ = true;  // up.sh removes what it made on failure; down.sh again is harmless
    const command_result result =
        shell(environment + " CORVFLT=" + quoted(CORVFLT_BINARY) + " " LAB_SCRIPTS "/up.sh " +
              prefix_ + " . " + options);
    if (result.status != 0) {
        *error = "lab/up.sh " + prefix_ + " failed:\n" + result.output;
        return false;
    }
    std::ifstream env(state_dir() + "/env");
    std::string line;
    while (std::getline(env, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        env_[line.substr(0, equals)] = value;
    }
    std::ifstream pids(state_dir() + "/pids");
    std::string name, ns;
    pid_t pid;
    while (pids >> name >> pid >> ns)
        pids_.push_back(pid);
    return true;
}

int lab_run::down()
{
    is_up_ = false;
    return shell(LAB_SCRIPTS "/down.sh " + prefix_).status;
}

command_result lab_run::run(const std::string& role, const std::string& command) const
{
    return shell("ip netns exec " + namespace_of(role) + " sh -c " + quoted(command));
}

bool lab_run::in_namespace(const std::string& role, const std::function<bool()>& body) const
{
    bool result = false;
    std::thread worker([&] {
        const int fd = open(("/run/netns/" + namespace_of(role)).c_str(), O_RDONLY | O_CLOEXEC);
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

bool eventually(const std::function<bool()>& done, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

}  // namespace lab_test
