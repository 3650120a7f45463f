// The service worker with stand-in gateways: option positions, level gating, the event
// handlers' lines, the stop poll and gateways that fail.

#include "fake_service_host.h"
#include "service/corvane_service.h"

#include <chrono>
#include <future>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Collects what write_log prints in console mode (standard output's C++ stream).
class log_capture {
public:
    log_capture() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~log_capture() { std::cout.rdbuf(previous_); }
    // Only read after the worker has finished writing.
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* previous_;
};

struct gateway_probe {
    std::atomic<int> created{0};
    std::atomic<int> started{0};
    std::atomic<int> stopped{0};
    std::atomic<int> destroyed{0};
    bool start_result = true;
    std::string throw_text;  // the factory throws this when not empty
    std::vector<std::uint32_t> events_on_start;
    gateway_options seen;
    std::atomic<bool> proxy{false};
};

class probe_gateway final : public service::gateway {
public:
    probe_gateway(gateway_probe& p, proxy_event_callback handler) : probe_(p), handler_(handler) {}
    ~probe_gateway() override { ++probe_.destroyed; }
    bool start() override
    {
        for (auto kind : probe_.events_on_start)
            handler_(proxy_event{kind, 0});
        ++probe_.started;
        return probe_.start_result;
    }
    bool stop() override
    {
        ++probe_.stopped;
        return true;
    }

private:
    gateway_probe& probe_;
    proxy_event_callback handler_;
};

gateway_factories probe_factories(gateway_probe& probe)
{
    auto make = [&probe](bool proxy) {
        return [&probe, proxy](const gateway_options& options, proxy_event_callback handler)
                   -> std::unique_ptr<service::gateway> {
            probe.seen = options;
            probe.proxy = proxy;
            if (!probe.throw_text.empty())
                throw std::runtime_error(probe.throw_text);
            ++probe.created;
            return std::make_unique<probe_gateway>(probe, handler);
        };
    };
    return {make(false), make(true)};
}

std::vector<std::string> command(std::vector<std::string> rest)
{
    rest.insert(rest.begin(), "corvane-service");
    return rest;
}

// Runs "run" in a thread, stops it once the gateway has started (or at once when none is
// expected), and returns how long the stop handler took.
std::chrono::milliseconds run_and_stop(corvane_service& service, gateway_probe& probe, bool expect_gateway)
{
    auto runner = std::async(std::launch::async, [&] { service.StartHook({}); });
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (expect_gateway && probe.started.load() == 0 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(120ms);  // into the worker's sleep
    const auto before = std::chrono::steady_clock::now();
    auto stopper = std::async(std::launch::async, [&] { service.StopHook(); });
    if (stopper.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "stop did not return";
        std::abort();  // the worker would keep the test process hanging
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
    runner.get();
    return took;
}

}  // namespace

TEST(service_worker, options_are_read_at_fixed_positions)
{
    struct row {
        std::vector<std::string> arguments;
        std::uint32_t mode;
        std::string adapter;
        log_level level;
        std::size_t dns_count;
    };
    const row rows[] = {
        {{"run"}, 0, "corvane", log_level::none, 0},
        {{"run", "-mode", "proxy"}, 1, "corvane", log_level::none, 0},
        {{"RUN", "-MODE", "PROXY"}, 1, "corvane", log_level::none, 0},
        {{"run", "-mode", "bridge"}, 0, "corvane", log_level::none, 0},
        // "-interface" only counts at position 4.
        {{"run", "-interface", "wg0"}, 0, "corvane", log_level::none, 0},
        {{"run", "-mode", "nat", "-interface", "wg0", "-log-level", "DEBUG", "-dns", "1.1.1.1, ::1"}, 0, "wg0",
         log_level::debug, 2},
        {{"run", "-mode", "nat", "-interface", "wg0", "-log-level", "verbose"}, 0, "wg0", log_level::none, 0},
        {{"run", "-mode", "nat", "-interface", "wg0", "-log-level", "all", "extra", "-dns", "1.1.1.1"}, 0, "wg0",
         log_level::all, 0},
        {{"run", "-mode", "nat", "-dns", "1.1.1.1", "-interface", "wg0"}, 0, "corvane", log_level::none, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.arguments.size() > 2 ? r.arguments[2] : r.arguments[0]);
        gateway_probe probe;
        fake_service_host host;
        corvane_service service(command(r.arguments), probe_factories(probe), host);
        service.stopping_flag().store(1);  // the worker returns at once: only the options matter
        log_capture capture;
        service.StartHook({});
        EXPECT_EQ(service.mode(), r.mode);
        EXPECT_EQ(service.adapter_name(), r.adapter);
        EXPECT_EQ(service.level(), r.level);
        EXPECT_EQ(service.dns_servers().size(), r.dns_count);
        EXPECT_EQ(probe.created.load(), 0);
    }
}

TEST(service_worker, missing_values_start_no_gateway_and_never_block_a_stop)
{
    struct row {
        std::vector<std::string> arguments;
        std::string log;  // what must appear; empty: nothing may be logged
    };
    const row rows[] = {
        {{"run", "-mode"}, ""},
        // The level is still 0 when the interface is found missing.
        {{"run", "-mode", "nat", "-interface"}, ""},
        {{"run", "-mode", "nat", "-interface", "wg0", "-log-level"}, ""},
        {{"run", "-mode", "nat", "-interface", "wg0", "-log-level", "debug", "-dns"},
         "Corvane Service\nError reading configuration no DNS servers specified\n"},
        {{}, ""},
    };
    for (const auto& r : rows) {
        gateway_probe probe;
        fake_service_host host;
        std::vector<std::string> arguments = r.arguments.empty() ? std::vector<std::string>{"corvane-service"}
                                                                 : command(r.arguments);
        corvane_service service(arguments, probe_factories(probe), host);
        log_capture capture;
        service.StartHook({});
        auto stop = std::async(std::launch::async, [&] { service.StopHook(); });
        ASSERT_EQ(stop.wait_for(2s), std::future_status::ready) << "a stop after a configuration error hung";
        const std::string text = capture.text();
        if (r.log.empty())
            EXPECT_EQ(text.find("Corvane"), std::string::npos) << text;
        else
            EXPECT_NE(text.find(r.log), std::string::npos) << text;
        EXPECT_EQ(probe.created.load(), 0);
    }
}

TEST(service_worker, runs_a_gateway_until_stopped_within_the_poll_period)
{
    gateway_probe probe;
    probe.events_on_start = {0, 1, 2, 9};
    fake_service_host host;
    corvane_service service(command({"run", "-mode", "nat", "-interface", "wg0", "-log-level", "debug"}),
                            probe_factories(probe), host);
    log_capture capture;
    const auto took = run_and_stop(service, probe, true);
    EXPECT_LT(took, 700ms) << "the stop poll is 500 ms";
    EXPECT_EQ(probe.created.load(), 1);
    EXPECT_EQ(probe.started.load(), 1);
    EXPECT_EQ(probe.stopped.load(), 1);
    EXPECT_EQ(probe.destroyed.load(), 1);
    EXPECT_FALSE(probe.proxy.load());
    EXPECT_EQ(probe.seen.adapter_name, "wg0");
    EXPECT_EQ(probe.seen.level, log_level::debug);

    const std::string expected[] = {
        " Corvane Service\n The service is starting in nat mode for the network interface wg0 .\n",
        " Corvane Service has started.\n",
        " Proxy gateway instance successfully created.\n",
        " VPN server interface connected. NAT started.\n",
        " VPN server interface disconnected. NAT stopped.\n",
        " NDIS error has occurred.\n",
        " Proxy gateway instance started successfully.\n",
        " Corvane Service is stopping\n",
        " Proxy gateway instance successfully stopped.\n",
    };
    const std::string text = capture.text();
    std::size_t at = 0;
    for (const auto& line : expected) {
        const auto found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "in\n" << text;
        at = found + line.size();
    }
    EXPECT_EQ(text.find("NAT started.", text.find("NDIS error")), std::string::npos);
}

TEST(service_worker, level_and_mode_shape_the_lines)
{
    struct row {
        std::vector<std::string> arguments;
        bool start_result;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const row rows[] = {
        // Level info writes none of the worker's or the handlers' lines.
        {{"run", "-mode", "nat", "-interface", "wg0", "-log-level", "info"}, true, {},
         {"Corvane", "NAT started", "Proxy gateway"}},
        {{"run", "-mode", "Proxy", "-interface", "wg0", "-log-level", "all"}, false,
         {"VPN server interface connected. PROXY started.", "[ERROR]: Failed to start the proxy gateway instance!"},
         {"NAT started", "started successfully"}},
    };
    for (const auto& r : rows) {
        gateway_probe probe;
        probe.start_result = r.start_result;
        probe.events_on_start = {0};
        fake_service_host host;
        corvane_service service(command(r.arguments), probe_factories(probe), host);
        log_capture capture;
        run_and_stop(service, probe, true);
        const std::string text = capture.text();
        for (const auto& p : r.present)
            EXPECT_NE(text.find(p), std::string::npos) << p << " in\n" << text;
        for (const auto& a : r.absent)
            EXPECT_EQ(text.find(a), std::string::npos) << a << " in\n" << text;
        EXPECT_EQ(probe.stopped.load(), 1);
    }
}

TEST(service_worker, a_gateway_that_cannot_be_created_still_lets_the_service_stop)
{
    gateway_probe probe;
    probe.throw_text = "driver is not available";
    fake_service_host host;
    corvane_service service(command({"run", "-mode", "nat", "-interface", "wg0", "-log-level", "debug"}),
                            probe_factories(probe), host);
    log_capture capture;
    const auto took = run_and_stop(service, probe, false);
    EXPECT_LT(took, 700ms);
    const std::string text = capture.text();
    for (const char* line : {"[ERROR]: driver is not available", "[ERROR]: Failed to create the proxy gateway instance!",
                             "Proxy gateway instance successfully stopped."})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    EXPECT_EQ(text.find("successfully created"), std::string::npos);
}

TEST(service_worker, standard_proxy_factory_without_the_driver_fails_with_a_clear_error)
{
    // No corvflt here: the proxy gateway cannot work, and says why (the worker logs it).
    const auto standard = gateway_factories::standard();
    gateway_options options;
    options.adapter_name = "wg0";
    try {
        standard.proxy(options, proxy_event_handler);
        FAIL() << "a proxy gateway without a driver";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Network Filter Driver is not loaded!");
    }
}

TEST(service_worker, under_the_service_manager_the_worker_has_its_own_thread)
{
    gateway_probe probe;
    fake_service_host host;
    host.controls = {platform::service_control::stop};
    host.entry_arguments = {"ignored", "-mode", "proxy"};
    corvane_service service(command({"service", "-mode", "nat", "-interface", "wg0"}), probe_factories(probe), host);
    std::uint32_t error = 0;
    auto dispatcher = std::async(std::launch::async, [&] { return CServiceBase::RunDispatcher(service, error); });
    ASSERT_EQ(dispatcher.wait_for(5s), std::future_status::ready);
    set_log_run_mode_service(false);
    EXPECT_TRUE(dispatcher.get());
    // Start returned at once (running), the stop waited for the worker (stopped).
    ASSERT_EQ(host.statuses.size(), 4u);
    EXPECT_EQ(host.statuses[1].current_state, platform::service_state::running);
    EXPECT_EQ(host.statuses[3].current_state, platform::service_state::stopped);
    EXPECT_EQ(service.mode(), 0u);  // the process's own arguments count, not the manager's
    EXPECT_EQ(service.adapter_name(), "wg0");
    EXPECT_LE(probe.started.load(), 1);
    EXPECT_EQ(probe.created.load(), probe.destroyed.load());
}
