// corvflt on Linux: the driver core hosted over TUN/TAP device pairs, with its control
// device on a Unix socket. Runs in the foreground until SIGTERM or SIGINT.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/linux/command_line.h"
#include "driver/linux/control_server.h"
#include "driver/linux/link_watch.h"
#include "driver/linux/linux_host.h"
#include "driver/linux/log.h"
#include "driver/linux/tun_device.h"

using namespace corvflt::linux_host;

int main(int argc, char** argv)
{
    std::string error;
    const auto parsed = parse_command_line(argc, argv, &error);
    if (!parsed) {
        std::fprintf(stderr, "corvflt: %s\n%s", error.c_str(), usage_text());
        return 2;
    }
    if (!have_net_admin()) {
        log_line("needs CAP_NET_ADMIN (run as root) to create and attach TUN/TAP devices");
        return 1;
    }
    if (!have_tun_device(&error)) {
        log_line("%s -- is the tun module loaded?", error.c_str());
        return 1;
    }
    corvflt::driver_parameters parameters;
    if (!parsed->parameters_file.empty()) {
        parameters = read_parameters_file(parsed->parameters_file, &error);
        if (!error.empty())
            log_line("%s; MTUDecrement and StartupMode stay 0", error.c_str());
    }
    log_line("MTUDecrement=%u StartupMode=%u", parameters.mtu_decrement, parameters.startup_mode);

    // Every thread inherits this mask; main takes the signals synchronously below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    int exit_code = 0;
    linux_host host;
    control_server server(host.core());
    link_watch watch(host);
    // The control device first: a second daemon over the same directory must stop before
    // it creates or takes over any device.
    const char* directory = std::getenv("CORVFLT_DEVICE_DIR");
    const std::string device_dir = directory && *directory ? directory : "/run/corvflt";
    if (!host.start(parameters)) {
        exit_code = 1;  // logged by start
    } else if (!server.start(device_dir, &error)) {
        log_line("%s", error.c_str());
        exit_code = 1;
    } else {
        for (const adapter_spec& spec : parsed->adapters) {
            host.remember(spec);
            if (!host.attach_adapter(spec, &error)) {
                log_line("cannot attach %s: %s", spec.stack_name.c_str(), error.c_str());
                exit_code = 1;
                break;
            }
        }
    }
    if (exit_code == 0 && !watch.start(&error)) {
        log_line("%s", error.c_str());
        exit_code = 1;
    }
    if (exit_code == 0) {
        log_line("ready: control device %s", server.path().c_str());
        int received = 0;
        while (sigwait(&signals, &received) == 0 && received == SIGHUP) {
        }
        log_line("stopping on signal %d", received);
    }
    server.stop();
    watch.stop();
    host.shutdown();
    log_line("stopped");
    return exit_code;
}
