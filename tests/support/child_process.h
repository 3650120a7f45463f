#pragma once
// A peer program (dnsmasq, danted, tinyproxy) run by a Linux test as its child, stopped by
// its PID whatever the outcome: SIGTERM, then SIGKILL after 2 s.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace test_support {

// A peer program run as a child and stopped by its PID.
class child_process {
public:
    explicit child_process(std::vector<std::string> argv)
    {
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        if (::posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0)
            pid_ = 0;
    }
    ~child_process()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {  // up to 2 s, then force it
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    // SIGKILL to the child and every process it started (found through /proc by parent,
    // before any of them is signalled), as a crash of the peer's host would end them.
    void kill_all()
    {
        if (pid_ <= 0)
            return;
        std::vector<pid_t> all{pid_};
        for (std::size_t i = 0; i < all.size(); ++i) {
            std::ifstream children("/proc/" + std::to_string(all[i]) + "/task/" + std::to_string(all[i]) +
                                   "/children");
            pid_t child = 0;
            while (children >> child)
                all.push_back(child);
        }
        for (const pid_t p : all)
            ::kill(p, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    bool running()
    {
        if (pid_ <= 0)
            return false;
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = 0;
            return false;
        }
        return true;
    }
private:
    pid_t pid_ = 0;
};

}  // namespace test_support
