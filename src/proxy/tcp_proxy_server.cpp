#include "proxy/tcp_proxy_server.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

#include "platform/completion_port.h"

namespace proxy {
namespace {

constexpr const char* prefix = "tcp_proxy_server: ";
constexpr std::size_t max_waits = platform::max_socket_events;
// How long the connect thread waits on one group when more connects are in progress than
// it can wait on at once.
constexpr std::uint32_t group_slice_ms = 200;
// How long stop() lets outstanding operations of closed relays complete through the port.
constexpr auto drain_limit = std::chrono::seconds(5);

void close_both(platform::socket_handle s)
{
    if (s == platform::invalid_socket)
        return;
    platform::shutdown_and_close(s);
}

}  // namespace

tcp_proxy_server_core::tcp_proxy_server_core(std::uint16_t port, io_completion_port& completion_port,
                                             query_remote_peer query, log_printer printer,
                                             log_level level, socket_factory factory,
                                             net::ip_address_v4 bind_address)
    : listen_port_(port),
      completion_port_(completion_port),
      query_remote_peer_(std::move(query)),
      log_printer_(std::move(printer)),
      log_level_(level),
      factory_(std::move(factory))
{
    std::uint32_t error = 0;
    listening_socket_ = platform::open_tcp_socket(error);
    bool ok = listening_socket_ != platform::invalid_socket &&
              platform::bind_ipv4(listening_socket_, bind_address.to_in_addr(), port) == 0 &&
              (port != 0 || platform::local_port(listening_socket_, listen_port_) == 0) &&
              platform::listen_socket(listening_socket_) == 0;
    if (!ok) {
        if (listening_socket_ != platform::invalid_socket)
            platform::close_socket(listening_socket_);
        listening_socket_ = platform::invalid_socket;
        throw std::runtime_error("tcp_proxy_server: failed to create server socket.");
    }
}

tcp_proxy_server_core::~tcp_proxy_server_core()
{
    stop();
    if (listening_socket_ != platform::invalid_socket)
        platform::close_socket(listening_socket_);
    if (gate_)
        gate_->server = nullptr;
}

void tcp_proxy_server_core::log(const std::string& text) const { log_with_prefix(log_printer_, prefix, text); }

bool tcp_proxy_server_core::start()
{
    if (!stopped_.load())
        return true;
    // Started once in its life: stop() closed the listening socket.
    if (listening_socket_ == platform::invalid_socket)
        return false;
    stopped_.store(false);
    pending_.reserve(max_waits);

    pending_connection wake;
    std::uint32_t error = 0;
    wake.remote = platform::open_tcp_socket(error);
    wake.event = std::make_unique<platform::socket_event>();
    auto gate = std::make_shared<completion_gate>();
    gate->server = this;
    std::pair<bool, std::uintptr_t> registration{false, 0};
    if (wake.remote != platform::invalid_socket && wake.event->valid()) {
        registration = completion_port_.associate_device(
            wake.remote, [gate](std::uint32_t bytes, platform::overlapped* ov, int success) {
                return on_completion(gate, bytes, ov, success);
            });
    }
    if (!registration.first) {
        if (wake.remote != platform::invalid_socket)
            platform::close_socket(wake.remote);
        pending_.clear();
        stopped_.store(true);
        return false;
    }
    completion_key_ = registration.second;
    gate_ = std::move(gate);
    pending_.push_back(std::move(wake));

    accept_thread_ = std::thread([this] { accept_thread(); });
    cleanup_thread_ = std::thread([this] { cleanup_thread(); });
    connect_thread_ = std::thread([this] { connect_thread(); });
    return true;
}

void tcp_proxy_server_core::stop()
{
    if (stopped_.exchange(true))
        return;
    // Ends the accept thread's blocking accept.
    if (listening_socket_ != platform::invalid_socket) {
        platform::close_socket(listening_socket_);
        listening_socket_ = platform::invalid_socket;
    }
    {
        std::shared_lock lock(lock_);
        if (!pending_.empty())
            pending_[0].event->set();
    }
    {
        std::lock_guard lock(cleanup_mutex_);
        cleanup_wake_.notify_all();
    }
    for (std::thread* t : {&accept_thread_, &cleanup_thread_, &connect_thread_}) {
        if (t->joinable())
            t->join();
    }
    drain_established();
    std::unique_lock lock(lock_);
    // Records the accept thread listed after the connect thread's last pass.
    for (std::size_t i = 1; i < pending_.size(); ++i) {
        pending_connection& record = pending_[i];
        if (record.event) {
            record.event->deselect();
            record.event.reset();
        }
        close_both(record.remote);
        close_both(record.local);
        record.remote = record.local = platform::invalid_socket;
    }
    for (auto& record : pending_)
        record.context.reset();
    if (!pending_.empty()) {
        close_both(pending_[0].remote);
        pending_.clear();
    }
    established_.clear();
}

// The relay objects own the overlapped records their outstanding operations point at, and
// Windows writes an operation's result into its record when it completes. So before they
// are destroyed, their sockets are closed and the resulting completions are let through the
// handler until every window is clear (while the pool runs; bounded), and then the handler
// gate closes and waits for any handler still inside.
void tcp_proxy_server_core::drain_established()
{
    {
        std::shared_lock lock(lock_);
        for (auto& s : established_)
            s->abort();
    }
    const auto until = std::chrono::steady_clock::now() + drain_limit;
    while (completion_port_.is_active() && std::chrono::steady_clock::now() < until) {
        bool idle = true;
        {
            std::shared_lock lock(lock_);
            for (auto& s : established_)
                idle = s->is_ready_for_removal() && idle;
        }
        if (idle)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (gate_) {
        gate_->open.store(false);
        while (gate_->inside.load() != 0)
            std::this_thread::yield();
    }
}

bool tcp_proxy_server_core::on_completion(const std::shared_ptr<completion_gate>& gate,
                                          std::uint32_t bytes, platform::overlapped* ov, int success)
{
    gate->inside.fetch_add(1);
    if (gate->open.load() && gate->server && ov)
        dispatch_completion(bytes, per_io_context::from(ov), success);
    gate->inside.fetch_sub(1);
    return false;
}

void tcp_proxy_server_core::accept_thread()
{
    while (!stopped_.load()) {
        std::uint32_t error = 0;
        const platform::socket_handle accepted = platform::accept_socket(listening_socket_, error);
        if (accepted == platform::invalid_socket) {
            if (stopped_.load() || error == platform::error_not_socket ||
                error == platform::error_invalid_argument)
                return;
            // A connection reset before it was accepted, or descriptors or memory short for
            // a moment: keep listening rather than going deaf for the rest of the run.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (stopped_.load()) {
            close_both(accepted);
            return;
        }
        if (!connect_to_remote_host(accepted))
            close_both(accepted);
    }
}

bool tcp_proxy_server_core::connect_to_remote_host(platform::socket_handle accepted)
{
    in_addr client{};
    std::uint16_t client_port = 0;
    if (!query_remote_peer_ || platform::peer_ipv4(accepted, client, client_port) != 0)
        return false;
    auto [destination, destination_port, context] =
        query_remote_peer_(net::ip_address_v4(client), client_port);
    if (destination_port == 0)
        return false;
    if (log_level_ == log_level::all && log_printer_)
        log("connect_to_remote_host:  " + net::to_string(destination) + " : " +
            std::to_string(destination_port));

    std::uint32_t error = 0;
    const platform::socket_handle remote = platform::open_tcp_socket(error);
    if (remote == platform::invalid_socket)
        return false;
    if (platform::bind_any_for_connect(remote) != 0 || platform::set_non_blocking(remote) != 0) {
        close_both(remote);
        return false;
    }
    auto event = take_spare_event();
    if (!event->valid() || !event->select_connect(remote)) {
        event.reset();
        close_both(remote);
        return false;
    }
    // Connect before the record is listed: a connect that fails at once then never enters
    // the pending list, so nothing there can close its sockets a second time. The event was
    // selected first, so a connect that finishes at once still signals it.
    const std::uint32_t e = platform::connect_ipv4(remote, destination.to_in_addr(), destination_port);
    if (e != 0 && e != platform::error_would_block) {
        event->deselect();
        keep_spare_event(std::move(event));
        close_both(remote);
        return false;
    }
    platform::socket_event* wake = nullptr;
    {
        std::unique_lock lock(lock_);
        pending_.push_back({std::move(context), remote, accepted, std::move(event)});
        wake = pending_[0].event.get();
    }
    // Set once the lock is free: the connect thread wakes straight into a shared lock of its
    // own, and would otherwise sleep again on this one. The wake-up record lives until stop().
    wake->set();
    return true;
}

// Events of adopted connects are kept for the next ones: one fewer event to create and
// destroy per connection, on the path every new connection waits on.
std::unique_ptr<platform::socket_event> tcp_proxy_server_core::take_spare_event()
{
    {
        std::lock_guard lock(spare_events_mutex_);
        if (!spare_events_.empty()) {
            auto event = std::move(spare_events_.back());
            spare_events_.pop_back();
            return event;
        }
    }
    return std::make_unique<platform::socket_event>();
}

// `event` has been deselected. Reset, since on Windows the finished connect signalled it.
void tcp_proxy_server_core::keep_spare_event(std::unique_ptr<platform::socket_event> event)
{
    if (!event->valid() || !event->reset())
        return;
    std::lock_guard lock(spare_events_mutex_);
    if (spare_events_.size() < max_waits)
        spare_events_.push_back(std::move(event));
}

void tcp_proxy_server_core::connect_thread()
{
    platform::socket_event* waits[max_waits];
    std::size_t group = 0;
    while (!stopped_.load()) {
        std::size_t count = 0;
        bool more_than_fit = false;
        {
            std::shared_lock lock(lock_);
            waits[count++] = pending_[0].event.get();
            const std::size_t others = pending_.size() - 1;
            const std::size_t fit = max_waits - 1;
            more_than_fit = others > fit;
            const std::size_t first = more_than_fit ? (group * fit) % others : 0;
            for (std::size_t i = 0; i < others && count < max_waits; ++i)
                waits[count++] = pending_[1 + (first + i) % others].event.get();
        }
        const int r = platform::wait_any_socket_event(waits, count,
                                                      more_than_fit ? group_slice_ms : platform::wait_infinite);
        if (stopped_.load())
            break;
        if (r == platform::wait_any_timeout) {
            ++group;
            continue;
        }
        if (r == platform::wait_any_failed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (r == 0) {
            waits[0]->reset();
            continue;
        }
        adopt(waits[r]);
    }
    std::shared_lock lock(lock_);
    for (std::size_t i = 1; i < pending_.size(); ++i) {
        pending_connection& record = pending_[i];
        record.event->deselect();
        record.event.reset();
        close_both(record.remote);
        close_both(record.local);
        record.remote = record.local = platform::invalid_socket;
    }
}

void tcp_proxy_server_core::adopt(platform::socket_event* event)
{
    // The relay's first receive often completes at once, inside start() and under the
    // relay's lock: its worker is woken once both locks are free.
    platform::deferred_wakeups hold_wakeups;
    std::unique_lock lock(lock_);
    auto it = std::find_if(pending_.begin() + 1, pending_.end(),
                           [event](const pending_connection& p) { return p.event.get() == event; });
    if (it == pending_.end())
        return;
    pending_connection record = std::move(*it);
    pending_.erase(it);
    record.event->deselect();
    keep_spare_event(std::move(record.event));
    established_.push_back(factory_(record.local, record.remote, std::move(record.context),
                                    log_printer_, log_level_));
    tcp_proxy_socket& s = *established_.back();
    s.set_connection_status(connection_status::connected);
    // Whether the connect succeeded is not checked: a failed one shows up as a failed first
    // receive on the remote socket. A pair that cannot be bound to the port is closed, since
    // its operations would never complete and it could never be removed.
    const bool bound = record.local != platform::invalid_socket && record.remote != platform::invalid_socket &&
                       completion_port_.associate_socket(record.local, completion_key_) &&
                       completion_port_.associate_socket(record.remote, completion_key_);
    if (bound)
        s.start();
    else
        s.abort();
}

void tcp_proxy_server_core::cleanup_thread()
{
    std::unique_lock wait_lock(cleanup_mutex_);
    while (!stopped_.load()) {
        cleanup_wake_.wait_for(wait_lock, std::chrono::seconds(1), [this] { return stopped_.load(); });
        if (stopped_.load())
            break;
        std::vector<std::unique_ptr<tcp_proxy_socket>> finished;
        {
            std::unique_lock lock(lock_);
            auto keep = std::stable_partition(established_.begin(), established_.end(),
                                              [](const std::unique_ptr<tcp_proxy_socket>& s) {
                                                  return !s->is_ready_for_removal();
                                              });
            std::move(keep, established_.end(), std::back_inserter(finished));
            established_.erase(keep, established_.end());
        }
    }
}

std::size_t tcp_proxy_server_core::established_count()
{
    std::shared_lock lock(lock_);
    return established_.size();
}

std::size_t tcp_proxy_server_core::pending_count()
{
    std::shared_lock lock(lock_);
    return pending_.empty() ? 0 : pending_.size() - 1;
}

}  // namespace proxy
