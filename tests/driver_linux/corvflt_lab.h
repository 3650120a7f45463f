#pragma once
// A throw-away lab for one test: two namespaces of its own (gw holds corvflt and the
// stack-side TUN 10.9.0.1/24, wire holds the wire-side TUN 10.9.0.2/24; no route out), a
// temporary control-socket directory, and the corvflt daemon started by fork/exec and ended
// by its pid. Everything is removed in the destructor, also after a failed assertion.

#include <sys/types.h>

#include <functional>
#include <string>

namespace corvflt_lab_test {

class corvflt_lab {
public:
    corvflt_lab();
    ~corvflt_lab();

    // Starts the daemon (with `parameters` as its parameters file when not empty) and
    // configures both interfaces. False with `error` set on failure.
    // `medium` is the --adapter medium, "ip" (TUN) or "ethernet" (TAP).
    bool start(const std::string& parameters, std::string* error,
               const std::string& medium = "ip");
    // SIGTERM, then wait; returns the exit status (-1 when it had to be killed).
    int stop();

    const std::string& gw() const { return gw_; }
    const std::string& wire() const { return wire_; }
    std::string socket_path() const { return directory_ + "/CORVFLT"; }
    std::string daemon_log() const;
    pid_t pid() const { return pid_; }

    // Runs `command` (a shell line) and returns its exit status.
    static int shell(const std::string& command);
    // Runs `body` on a thread that entered namespace `ns`; returns what body returned.
    static bool in_namespace(const std::string& ns, const std::function<bool()>& body);

private:
    std::string gw_, wire_, directory_;
    pid_t pid_ = -1;
};

// One UDP datagram of `size` bytes from 10.9.0.1 (gw) to an echo on 10.9.0.2:port (wire)
// and back; true when the echo came back unchanged within `timeout_ms`.
bool udp_exchange(const corvflt_lab& lab, std::size_t size, int timeout_ms, std::string* detail,
                  unsigned short port = 7777);

bool running_as_root();

}  // namespace corvflt_lab_test
