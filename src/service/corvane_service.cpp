#include "service/corvane_service.h"

#include "platform/console.h"
#include "platform/socket_runtime.h"
#include "service/nat_gateway_factory.h"
#include "service/proxy_gateway_factory.h"
#include "service/service_names.h"
#include "service/service_text.h"

#include <chrono>
#include <stdexcept>

std::atomic<corvane_service*> corvane_service::instance_{nullptr};

namespace {

constexpr auto stop_poll_period = std::chrono::milliseconds(500);

}  // namespace

gateway_factories gateway_factories::standard()
{
    gateway_factories f;
    f.nat = [](const gateway_options& o, proxy_event_callback handler) {
        return service::create_nat_gateway(o.adapter_name, write_log, o.level, handler);
    };
    f.proxy = [](const gateway_options& o, proxy_event_callback handler) {
        return service::create_proxy_gateway(o.adapter_name, write_log, o.level, handler, o.dns_servers);
    };
    return f;
}

corvane_service::corvane_service(std::vector<std::string> arguments, gateway_factories factories,
                                 platform::service_host& host)
    : CServiceBase(service::service_name, service::own_process_service_type, service::accepted_controls, host),
      arguments_(std::move(arguments)),
      stopped_event_(platform::event_kind::manual_reset, false),
      factories_(std::move(factories))
{
    if (!stopped_event_.valid())
        throw std::runtime_error("Error occurred in CreateEvent: " + std::to_string(stopped_event_.error()));
    if (platform::socket_startup() != 0)
        throw std::runtime_error("WSAStartup failed with error\n");
    socket_started_ = true;
    instance_.store(this);
}

corvane_service::~corvane_service()
{
    // A worker thread still running (the service was never stopped) is asked to end and
    // waited for: it uses this object until it returns.
    if (worker_thread_.joinable()) {
        stopping_.store(1);
        worker_thread_.join();
    }
    gateway_.reset();
    if (socket_started_)
        platform::socket_cleanup();
    corvane_service* self = this;
    instance_.compare_exchange_strong(self, nullptr);
}

corvane_service* corvane_service::instance()
{
    return instance_.load();
}

void corvane_service::log_at_debug(const std::string& message) const
{
    if (level_.load() >= log_level::debug)
        write_log(message.c_str());
}

void corvane_service::read_options(gateway_options& options)
{
    const auto& a = arguments_;
    const std::size_t n = a.size();
    auto option_at = [&](std::size_t position, const char* name) {
        return n > position && service::equals_ignoring_case(a[position], name);
    };
    if (option_at(2, "-mode")) {
        if (n < 4)
            throw std::runtime_error("no mode specified");
        options.mode_text = a[3];
    }
    if (option_at(4, "-interface")) {
        if (n < 6)
            throw std::runtime_error("no interface specified");
        options.adapter_name = a[5];
    }
    if (option_at(6, "-log-level")) {
        if (n < 8)
            throw std::runtime_error("no logging level specified");
        // Takes effect at once, so that a later missing value is already logged at it.
        log_level level = level_.load();
        parse_log_level(a[7], level);
        level_.store(level);
    }
    if (option_at(8, "-dns")) {
        if (n < 10)
            throw std::runtime_error("no DNS servers specified");
        options.dns_servers = net::parse_address_list(a[9]);
    }
}

void corvane_service::StartHook(const std::vector<std::string>&)
{
    bool as_service = false;
    gateway_options options;
    try {
        if (arguments_.size() < 2)
            throw std::runtime_error("no run mode specified");
        as_service = service::equals_ignoring_case(arguments_[1], "service");
        set_log_run_mode_service(as_service);
        read_options(options);
        mode_ = service::equals_ignoring_case(options.mode_text, "proxy") ? 1 : 0;
        adapter_name_ = options.adapter_name;
        dns_servers_ = std::move(options.dns_servers);
    } catch (const std::exception& e) {
        std::string text = std::string("Corvane Service\nError reading configuration ") + e.what();
        service::truncate_to_utf16_units(text, service::message_buffer - 1);
        log_at_debug(text);
        // No worker will run, so none would ever signal the event a stop waits for.
        stopped_event_.set();
        return;
    }

    log_at_debug("Corvane Service\n The service is starting in " + options.mode_text +
                 " mode for the network interface " + adapter_name_ + " .");
    if (!as_service) {
        platform::write_console("Corvane Service is running as a regular process.\n");
        worker();
        return;
    }
    log_at_debug("Corvane Service will run as a service.");
    try {
        worker_thread_ = std::thread([this] { worker(); });
    } catch (const std::exception&) {
        log_at_debug("Corvane Service couldn't create worker thread.");
        stopped_event_.set();
    }
}

void corvane_service::StopHook()
{
    log_at_debug("Corvane Service is stopping");
    stopping_.store(1);
    if (stopped_event_.wait(platform::wait_infinite) != platform::wait_result::signalled)
        throw std::runtime_error("Error occurred in WaitForSingleObject: " + std::to_string(stopped_event_.error()));
    if (worker_thread_.joinable() && worker_thread_.get_id() != std::this_thread::get_id())
        worker_thread_.join();
}

void corvane_service::run_gateway()
{
    gateway_options options;
    options.adapter_name = adapter_name_;
    options.level = level_.load();
    options.dns_servers = dns_servers_;
    try {
        gateway_ = mode_ == 1 ? factories_.proxy(options, proxy_event_handler)
                              : factories_.nat(options, nat_event_handler);
    } catch (const std::exception& e) {
        // A gateway that cannot work at all: the service runs on without one, as when
        // none could be created, so that a stop still finds the worker waiting for it.
        log_at_debug(std::string("[ERROR]: ") + e.what());
        gateway_.reset();
    } catch (...) {
        gateway_.reset();
    }
    if (gateway_) {
        log_at_debug("Proxy gateway instance successfully created.");
        bool started = false;
        try {
            started = gateway_->start();
        } catch (const std::exception& e) {
            log_at_debug(std::string("[ERROR]: ") + e.what());
        }
        log_at_debug(started ? "Proxy gateway instance started successfully."
                             : "[ERROR]: Failed to start the proxy gateway instance!");
    } else {
        log_at_debug("[ERROR]: Failed to create the proxy gateway instance!");
    }
    do {
        std::this_thread::sleep_for(stop_poll_period);
    } while (stopping_.load() == 0);
}

std::uint32_t corvane_service::worker()
{
    log_at_debug("Corvane Service has started.");
    try {
        if (stopping_.load() == 0)
            run_gateway();
        if (gateway_) {
            gateway_->stop();
            gateway_.reset();
        }
    } catch (const std::exception& e) {
        log_at_debug(std::string("[ERROR]: ") + e.what());
        gateway_.reset();
    } catch (...) {
        gateway_.reset();
    }
    log_at_debug("Proxy gateway instance successfully stopped.");
    stopped_event_.set();
    return 0;
}

namespace {

void log_event_line(const char* started, const char* stopped, proxy_event event)
{
    corvane_service* service = corvane_service::instance();
    if (service == nullptr || service->level() < log_level::debug)
        return;
    switch (event.kind) {
    case proxy_event_kind::started:
        write_log(started);
        break;
    case proxy_event_kind::stopped:
        write_log(stopped);
        break;
    case proxy_event_kind::filter_start_failed:
        write_log("NDIS error has occurred.");
        break;
    default:
        break;
    }
}

}  // namespace

void nat_event_handler(proxy_event event)
{
    log_event_line("VPN server interface connected. NAT started.", "VPN server interface disconnected. NAT stopped.",
                   event);
}

void proxy_event_handler(proxy_event event)
{
    log_event_line("VPN server interface connected. PROXY started.",
                   "VPN server interface disconnected. PROXY stopped.", event);
}
