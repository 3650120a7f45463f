#pragma once
// corvane_service: the service object of the program. Reads the gateway options from the
// process's command line when started, and runs the worker that creates, starts, keeps and
// stops one gateway.
//
// Owns the stopped event, the worker thread (service mode) and, during the worker's run, the
// gateway. Created by the entry point for "service" and "run"; its hooks are called by the
// service framework (service thread and dispatcher thread) or, for "run", directly by the
// entry point on the main thread.

#include "net/ip_address.h"
#include "platform/event.h"
#include "service/gateway.h"
#include "service/logging.h"
#include "service/service_base.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// The worker's gateway options, as read by the start handler.
struct gateway_options {
    std::string mode_text = "nat";
    std::string adapter_name = "corvane";
    log_level level = log_level::none;
    std::vector<net::ip_address_any> dns_servers;
};

// How the worker makes its gateway; replaced in tests. A factory that throws is treated as a
// gateway that could not be created.
struct gateway_factories {
    std::function<std::unique_ptr<service::gateway>(const gateway_options&, proxy_event_callback)> nat;
    std::function<std::unique_ptr<service::gateway>(const gateway_options&, proxy_event_callback)> proxy;

    static gateway_factories standard();
};

class corvane_service : public CServiceBase {
public:
    // Throws std::runtime_error when the socket library or the stopped event cannot be set up.
    corvane_service(std::vector<std::string> arguments,
                    gateway_factories factories = gateway_factories::standard(),
                    platform::service_host& host = platform::system_service_host());
    ~corvane_service() override;

    // The one service object of the process, read by the event handlers; nullptr outside
    // its lifetime.
    static corvane_service* instance();

    // The start and stop handlers; public because "run" calls StartHook directly.
    void StartHook(const std::vector<std::string>& arguments) override;
    void StopHook() override;

    // Runs until stopping is set; returns 0. Signals the stopped event whatever happens.
    std::uint32_t worker();

    // The flag Ctrl+C sets in a console process.
    std::atomic<std::uint32_t>& stopping_flag() { return stopping_; }

    std::uint32_t mode() const { return mode_; }
    const std::string& adapter_name() const { return adapter_name_; }
    log_level level() const { return level_.load(); }
    const std::vector<net::ip_address_any>& dns_servers() const { return dns_servers_; }

private:
    static std::atomic<corvane_service*> instance_;

    // Reads the options at their fixed positions; throws std::runtime_error on a missing value.
    void read_options(gateway_options& options);
    void log_at_debug(const std::string& message) const;
    void run_gateway();

    std::vector<std::string> arguments_;
    std::atomic<std::uint32_t> stopping_{0};
    platform::event stopped_event_;
    std::uint32_t mode_ = 0;  // 0 nat, 1 proxy
    std::string adapter_name_ = "corvane";
    std::atomic<log_level> level_{log_level::none};
    std::unique_ptr<service::gateway> gateway_;  // only touched by the worker
    std::vector<net::ip_address_any> dns_servers_;
    gateway_factories factories_;
    std::thread worker_thread_;
    bool socket_started_ = false;
};

// Turn the gateways' state changes into log lines at level debug.
void nat_event_handler(proxy_event event);
void proxy_event_handler(proxy_event event);
