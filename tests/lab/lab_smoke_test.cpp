// The namespace lab itself, with corvflt in mode 0 and plain host routing in gw: every peer
// answers a client in vpnc through both corvflt adapters, and teardown leaves nothing --
// also when a peer fails to start. Needs root; skips without it.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lab/lab_run.h"

using namespace lab_test;

namespace {

bool path_exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Live processes (not this one, not zombies) whose command line holds one of `patterns`.
std::vector<std::string> processes_naming(const std::vector<std::string>& patterns)
{
    std::vector<std::string> found;
    DIR* proc = opendir("/proc");
    if (!proc)
        return found;
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0 || pid == getpid() || !process_running(pid))
            continue;
        std::ifstream file(std::string("/proc/") + entry->d_name + "/cmdline");
        std::string cmdline((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        for (const std::string& pattern : patterns)
            if (cmdline.find(pattern) != std::string::npos) {
                found.push_back(std::to_string(pid) + " " + cmdline);
                break;
            }
    }
    closedir(proc);
    return found;
}

// What a finished run must not leave behind: namespaces, resolv.conf dirs, state, processes.
void expect_nothing_left(const lab_run& lab)
{
    for (const char* role : {"vpnc", "gw", "inet"}) {
        EXPECT_FALSE(path_exists("/run/netns/" + lab.namespace_of(role))) << role;
        EXPECT_FALSE(path_exists("/etc/netns/" + lab.namespace_of(role))) << role;
    }
    EXPECT_FALSE(path_exists(lab.state_dir()));
    for (pid_t pid : lab.pids())
        EXPECT_FALSE(process_running(pid)) << "pid " << pid;
    // Processes whose command line names this run (its namespaces or state directory).
    for (const std::string& left : processes_naming(
             {lab.prefix() + "-", "/run/corvane-lab/" + lab.prefix() + "/"}))
        ADD_FAILURE() << "still running: " << left;
}

}  // namespace

TEST(lab_smoke, peers_answer_vpnc_through_corvflt_and_teardown_leaves_nothing)
{
    if (!running_as_root())
        GTEST_SKIP() << "lab tests need root and network namespaces";
    lab_run lab;
    std::string error;
    ASSERT_TRUE(lab.up("--route-back", &error)) << error;
    ASSERT_EQ(lab.pids().size(), 7u) << "corvflt and six peers";

    const std::string page = lab.value("LAB_WEB_PAGE");
    ASSERT_FALSE(page.empty());
    struct row {
        const char* what;
        std::string command;
        std::string expected;  // in the output
    } rows[] = {
        {"web by address", "curl -sS --max-time 5 http://10.99.0.1:8080/", page},
        {"web, second port", "curl -sS --max-time 5 http://10.99.0.1:8081/", page},
        // 1 MiB through both adapters: a frame lost or altered on the way changes the hash.
        {"1 MiB body unchanged",
         "curl -sS --max-time 10 http://10.99.0.1:8080/big.bin | sha256sum",
         lab.value("LAB_WEB_BIG_SHA256")},
        {"test zone via 1.1.1.1", "dig +short +time=2 +tries=1 @1.1.1.1 web.corvane.test",
         "10.99.0.1"},
        {"test zone via 8.8.8.8", "dig +short +time=2 +tries=1 @8.8.8.8 web.corvane.test",
         "10.99.0.1"},
        {"name outside the zone is refused",
         "dig +time=2 +tries=1 @1.1.1.1 example.com | grep -o 'status: [A-Z]*'",
         "status: REFUSED"},
        {"ping", "ping -c 2 -i 0.2 -W 2 10.99.0.1 | grep -o '2 received'", "2 received"},
        {"UDP echo", "echo corvane-echo | socat -T2 - UDP4-SENDTO:10.99.0.1:7777",
         "corvane-echo"},
        {"SOCKS5 CONNECT, name resolved by the proxy",
         "curl -sS --max-time 5 -x socks5h://10.99.0.1:1080 http://web.corvane.test:8080/",
         page},
        {"HTTP CONNECT to a port outside the usual list",
         "curl -sS --max-time 5 -p -x http://10.99.0.1:8888 http://web.corvane.test:8081/", page},
        {"iperf3", "iperf3 -c 10.99.0.1 -p 5201 -n 4M | grep -c receiver", "1"},
    };
    for (const row& r : rows) {
        const command_result result = lab.run("vpnc", r.command);
        EXPECT_NE(result.output.find(r.expected), std::string::npos)
            << r.what << ": " << r.command << "\nexit " << result.status << ", output:\n"
            << result.output;
    }
    // gw's control device is where a client finds it through CORVFLT_DEVICE_DIR.
    EXPECT_TRUE(path_exists(lab.device_dir() + "/CORVFLT"));

    EXPECT_EQ(lab.down(), 0);
    expect_nothing_left(lab);
}

TEST(lab_smoke, a_peer_that_fails_to_start_is_named_and_the_run_is_removed)
{
    if (!running_as_root())
        GTEST_SKIP() << "lab tests need root and network namespaces";
    // A stand-in that runs but never listens.
    char directory[] = "/tmp/lab-smoke-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string silent = std::string(directory) + "/silent";
    ASSERT_EQ(shell("printf '#!/bin/sh\\nexec sleep 30\\n' > " + silent + " && chmod +x " + silent)
                  .status,
              0);
    struct row {
        const char* peer;
        std::string environment;
        std::string message;
    } rows[] = {
        // Exits at once: caught by the liveness check, after corvflt and three peers started.
        {"danted", "LAB_DANTED=/bin/false", "danted exited during start"},
        // Runs but never listens: caught by the readiness deadline (5 s); its process must
        // still be stopped.
        {"iperf3", "LAB_IPERF3=" + silent, "iperf3 is not listening on 10.99.0.1:5201"},
    };
    for (const row& r : rows) {
        lab_run lab;
        std::string error;
        EXPECT_FALSE(lab.up("", &error, r.environment)) << r.peer;
        EXPECT_NE(error.find(r.message), std::string::npos) << r.peer << ":\n" << error;
        expect_nothing_left(lab);
        lab.down();
    }
    shell(std::string("rm -rf ") + directory);
}
