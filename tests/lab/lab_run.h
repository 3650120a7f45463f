#pragma once
// One run of the namespace lab (lab/up.sh, lab/down.sh) for one test process, under a prefix
// of its own so that lab tests can run in parallel with each other and with every other
// test. The destructor tears the run down, also after a failed assertion.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace lab_test {

struct command_result {
    int status = -1;  // exit status, -1 when the command did not exit normally
    std::string output;  // stdout and stderr
};

class lab_run {
public:
    lab_run();
    ~lab_run();
    lab_run(const lab_run&) = delete;
    lab_run& operator=(const lab_run&) = delete;

    // Runs lab/up.sh with `options` (e.g. "--route-back") and the environment additions
    // `environment` ("NAME=value" words). False with up.sh's messages in `error`.
    bool up(const std::string& options, std::string* error,
            const std::string& environment = "");
    // Runs lab/down.sh; its exit status (0 = everything removed).
    int down();

    // Runs the shell line `command` inside the namespace of `role` ("vpnc", "gw", "inet").
    command_result run(const std::string& role, const std::string& command) const;
    // Runs `body` on a new thread that entered the namespace of `role`; threads it creates
    // stay in that namespace. Returns what body returned (false when entering failed).
    bool in_namespace(const std::string& role, const std::function<bool()>& body) const;

    const std::string& prefix() const { return prefix_; }
    std::string namespace_of(const std::string& role) const { return prefix_ + "-" + role; }
    std::string state_dir() const { return "/run/corvane-lab/" + prefix_; }
    std::string device_dir() const { return state_dir() + "/dev"; }
    // A value of the run's env file (LAB_WEB_PAGE, LAB_WEB_BIG_SHA256, ...); empty if absent.
    std::string value(const std::string& name) const { return env_.count(name) ? env_.at(name) : ""; }
    // The PIDs up.sh recorded (read at up, so they stay known after down).
    const std::vector<pid_t>& pids() const { return pids_; }

private:
    std::string prefix_;
    bool is_up_ = false;
    std::map<std::string, std::string> env_;
    std::vector<pid_t> pids_;
};

// Runs `command` with /bin/sh; stdout and stderr together.
command_result shell(const std::string& command);

// True while `pid` names a process that has not exited (a zombie has).
bool process_running(pid_t pid);

bool running_as_root();

// Polls `done` every 100 ms until it holds; false once `limit` has passed.
bool eventually(const std::function<bool()>& done, std::chrono::seconds limit);

}  // namespace lab_test
