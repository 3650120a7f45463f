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
                                             net::ip_address_v4 bind_address)
    : listen_port_(port),
      completion_port_(completion_port),
      query_remote_peer_(std::move(query)),
      log_printer_(std::move(printer)),
      log_level_(level),
      factory_(std::move(factory))
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
    // What an accept left behind that no completion will take any more.
    std::lock_guard accept_lock(accept_mutex_);
    for (accept_slot& slot : accepts_)
        platform::discard_accept(slot.buffer);
}

void tcp_proxy_server_core::on_completion(std::uint32_t bytes, platform::overlapped* ov, int success)
{
    if (ov) {
        per_io_context* ctx = per_io_context::from(ov);
        if (ctx->kind == io_kind::accept)
            accept_complete(*ctx, success != 0);
        else
            dispatch_completion(bytes, ctx, success);
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
    // The connect may complete, and the relay start, on a worker before the relay is
    // listed below; nothing there needs the list.
    if (!relay->start_connect(destination.to_in_addr(), destination_port))
        return false;
    std::unique_lock lock(lock_);
    established_.push_back(std::move(relay));
    // stop() may have closed the others meanwhile; it waits for this one to settle too.
    if (stopped_.load())
        established_.back()->abort();
    return true;
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
