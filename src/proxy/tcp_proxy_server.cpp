#include "proxy/tcp_proxy_server.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

#include "platform/completion_port.h"

namespace proxy {
namespace {

constexpr const char* prefix = "tcp_proxy_server: ";
// How long stop() lets the operations of the relays it closed complete through the port.
constexpr auto settle_limit = std::chrono::seconds(5);

}  // namespace

tcp_proxy_server_core::tcp_proxy_server_core(std::uint16_t port, io_completion_port& completion_port,
                                             query_remote_peer query, log_printer printer,
                                             log_level level, socket_factory factory,
                                             net::ip_address_v4 bind_address, tcp_proxy_limits limits)
    : listen_port_(port),
      completion_port_(completion_port),
      query_remote_peer_(std::move(query)),
      log_printer_(std::move(printer)),
      log_level_(level),
      factory_(std::move(factory)),
      client_limits_(limits)
{
    std::uint32_t error = 0;
    listening_socket_ = platform::make_tcp_socket(error);
    const platform::socket_handle s = listening_socket_.get();
    const bool ok = listening_socket_.valid() && platform::bind_ipv4(s, bind_address.to_in_addr(), port) == 0 &&
                    (port != 0 || platform::local_port(s, listen_port_) == 0) &&
                    platform::listen_socket(s) == 0;
    if (!ok) {
        listening_socket_.close();
        throw std::runtime_error("tcp_proxy_server: failed to create server socket.");
    }
}

tcp_proxy_server_core::~tcp_proxy_server_core() { stop(); }

void tcp_proxy_server_core::log(const std::string& text) const { log_with_prefix(log_printer_, prefix, text); }

bool tcp_proxy_server_core::start()
{
    if (!stopped_.load())
        return true;
    // Started once in its life: stop() closed the listening socket.
    if (!listening_socket_.valid())
        return false;
    listener_ = listening_socket_.get();
    for (accept_slot& slot : accepts_)
        slot.context.owner = &slot;
    registration_ = completion_port_.associate_device(
        listener_, [this](std::uint32_t bytes, platform::overlapped* ov, int success) {
            on_completion(bytes, ov, success);
            return false;
        });
    if (!registration_.valid())
        return false;
    stopped_.store(false);
    {
        std::lock_guard lock(accept_mutex_);
        for (accept_slot& slot : accepts_)
            post_accept_locked(slot);
    }
    cleanup_thread_ = std::thread([this] { cleanup_thread(); });
    return true;
}

void tcp_proxy_server_core::stop()
{
    if (stopped_.exchange(true)) {
        listening_socket_.close();
        return;
    }
    // Ends the accepts posted on it.
    listening_socket_.close();
    {
        std::lock_guard lock(cleanup_mutex_);
        cleanup_wake_.notify_all();
    }
    if (cleanup_thread_.joinable())
        cleanup_thread_.join();
    settle();
    registration_.release();
    std::unique_lock lock(lock_);
    // A relay whose operations never came back (the pool was stopped first, or the bound
    // passed) is left to the system rather than freed while Windows may still write its
    // records. The gateway stops its servers before the pool, so this does not happen there.
    for (auto& s : established_) {
        if (!s->is_idle())
            (void)s.release();
    }
    established_.clear();
    client_limits_.clear();
    // What an accept left behind that no completion will take any more.
    std::lock_guard accept_lock(accept_mutex_);
    for (accept_slot& slot : accepts_)
        platform::discard_accept(slot.buffer);
}

void tcp_proxy_server_core::on_completion(std::uint32_t bytes, platform::overlapped* ov, int success)
{
    if (ov) {
        per_io_context* ctx = per_io_context::from(ov);
        if (ctx->kind == io_kind::accept) {
            accept_complete(*ctx, success != 0);
        } else {
            // Counted before the relay sees its connect's end: from then on the cleanup
            // thread may find it idle and free it.
            if (ctx->kind == io_kind::connect)
                client_limits_.connect_finished(ctx->owner_as<tcp_proxy_socket>()->admission(), success != 0);
            dispatch_completion(bytes, ctx, success);
        }
    }
    if (settling_.load()) {
        std::lock_guard lock(settle_mutex_);
        settled_.notify_all();
    }
}

void tcp_proxy_server_core::accept_complete(per_io_context& context, bool success)
{
    platform::unique_socket accepted;
    {
        std::lock_guard lock(accept_mutex_);
        accept_slot& slot = *context.owner_as<accept_slot>();
        slot.pending = false;
        if (stopped_.load())
            return;
        // A connection reset before it was accepted, or an accept that failed for want of
        // descriptors or memory: the slot goes on accepting.
        accepted.reset(platform::take_accepted(listener_, slot.buffer, success));
        // Posted again before this connection is served: the next one may be taken by
        // another worker meanwhile.
        post_accept_locked(slot);
        if (!accepted.valid())
            return;
        ++serving_;
    }
    connect_to_remote_host(std::move(accepted));
    std::lock_guard lock(accept_mutex_);
    --serving_;
}

void tcp_proxy_server_core::post_accept_locked(accept_slot& slot)
{
    if (slot.pending || stopped_.load())
        return;
    slot.pending = platform::completion_follows(
        platform::post_accept(listener_, slot.buffer, &slot.context.overlapped));
}

// The relay objects and the accept slots own the overlapped records their outstanding
// operations point at, and Windows writes an operation's result into its record when it
// completes. So the sockets are closed and, while the pool runs, the completions that follow
// are let through the handler (which clears the windows) until nothing is outstanding; the
// registration's release then makes sure no handler touches them any more.
void tcp_proxy_server_core::settle()
{
    {
        std::shared_lock lock(lock_);
        for (auto& s : established_)
            s->abort();
    }
    if (!completion_port_.is_active())
        return;
    settling_.store(true);
    std::unique_lock lock(settle_mutex_);
    settled_.wait_for(lock, settle_limit, [this] { return settled(); });
    settling_.store(false);
}

bool tcp_proxy_server_core::settled()
{
    {
        std::lock_guard lock(accept_mutex_);
        if (serving_ != 0)
            return false;
        for (const accept_slot& slot : accepts_) {
            if (slot.pending)
                return false;
        }
    }
    std::shared_lock lock(lock_);
    return std::all_of(established_.begin(), established_.end(),
                       [](const std::unique_ptr<tcp_proxy_socket>& s) { return s->is_idle(); });
}

bool tcp_proxy_server_core::connect_to_remote_host(platform::unique_socket accepted)
{
    in_addr client{};
    std::uint16_t client_port = 0;
    if (!query_remote_peer_ || platform::peer_ipv4(accepted.get(), client, client_port) != 0)
        return false;
    auto [destination, destination_port, context] =
        query_remote_peer_(net::ip_address_v4(client), client_port);
    if (destination_port == 0)
        return false;
    const net::ip_address_v4 client_address(client);
    client_slot admission;
    if (const auto why = client_limits_.admit(client_address, admission); why != client_connection_limits::refusal::none) {
        refuse(std::move(accepted), client_address, why);
        return false;
    }
    // From here every way out without a started connect gives the admission back.
    struct admission_guard {
        client_connection_limits& limits;
        client_slot& slot;
        bool kept = false;
        ~admission_guard()
        {
            if (!kept)
                limits.release(slot);
        }
    } guard{client_limits_, admission};
    if (log_level_ == log_level::all && log_printer_)
        log("connect_to_remote_host:  " + net::to_string(destination) + " : " +
            std::to_string(destination_port));

    std::uint32_t error = 0;
    platform::unique_socket remote = platform::make_tcp_socket(error);
    if (!remote.valid() || platform::bind_any_for_connect(remote.get()) != 0)
        return false;
    // A pair that cannot be bound to the port is refused: its operations would never
    // complete and it could never be removed.
    if (!completion_port_.associate_socket(accepted.get(), registration_) ||
        !completion_port_.associate_socket(remote.get(), registration_))
        return false;
    auto relay = factory_(std::move(accepted), std::move(remote), std::move(context), log_printer_, log_level_);
    // Moved into the relay before its connect is posted: the completion counts it on.
    relay->admission() = admission;
    guard.kept = true;
    // The connect may complete, and the relay start, on a worker before the relay is
    // listed below; nothing there needs the list.
    if (!relay->start_connect(destination.to_in_addr(), destination_port)) {
        client_limits_.release(relay->admission());
        return false;
    }
    std::unique_lock lock(lock_);
    established_.push_back(std::move(relay));
    // stop() may have closed the others meanwhile; it waits for this one to settle too.
    if (stopped_.load())
        established_.back()->abort();
    return true;
}

void tcp_proxy_server_core::refuse(platform::unique_socket accepted, net::ip_address_v4 client,
                                   client_connection_limits::refusal why)
{
    // A reset rather than an orderly end: the client learns at once that this connection
    // will carry nothing, and no state lingers on either side.
    platform::set_abortive_close(accepted.get());
    platform::close_socket(accepted.release());
    if (log_level_ < log_level::info || !log_printer_)
        return;
    const auto left_out = refusal_log_.admit_line();
    if (!left_out)
        return;
    const tcp_proxy_limits& limits = client_limits_.limits();
    std::string text = "refused a connection of " + net::to_string(client) + ": ";
    if (why == client_connection_limits::refusal::pending_connects)
        text += "it has " + std::to_string(limits.pending_connects_per_client) + " connects pending";
    else
        text += "it has " + std::to_string(limits.connections_per_client) + " connections relayed";
    if (*left_out != 0)
        text += " (" + std::to_string(*left_out) + " more refused since the last such line)";
    log(text);
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
            for (auto& s : established_)
                s->close_local_if_drained();
            auto keep = std::stable_partition(established_.begin(), established_.end(),
                                              [](const std::unique_ptr<tcp_proxy_socket>& s) { return !s->is_idle(); });
            std::move(keep, established_.end(), std::back_inserter(finished));
            established_.erase(keep, established_.end());
        }
        for (auto& s : finished)
            client_limits_.release(s->admission());
        // Destroyed here, outside the lock: freeing a few thousand 128 KiB relays takes a while.
        finished.clear();
        std::lock_guard accept_lock(accept_mutex_);
        for (accept_slot& slot : accepts_)
            post_accept_locked(slot);
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
    return static_cast<std::size_t>(std::count_if(established_.begin(), established_.end(),
                                                  [](const std::unique_ptr<tcp_proxy_socket>& s) { return s->is_connecting(); }));
}

}  // namespace proxy
