#include "proxy/udp_proxy_server.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "proxy/udp_proxy_socket.h"

namespace proxy {
namespace {

// How long stop() lets the completions of closed sockets come back through the port.
constexpr auto drain_limit = std::chrono::seconds(5);

}  // namespace

udp_proxy_server_core::udp_proxy_server_core(const char* name, std::uint16_t port,
                                             io_completion_port& completion_port, query_remote_peer query,
                                             log_printer printer, log_level level,
                                             net::ip_address_v4 bind_address, udp_clock clock)
    : completion_port_(completion_port),
      query_remote_peer_(std::move(query)),
      printer_(std::move(printer)),
      level_(level),
      clock_(std::move(clock)),
      prefix_(std::string(name) + ": "),
      name_(name),
      listen_port_(port)
{
    receive_window_.buffer = receive_buffer_.data();
    std::uint32_t error = 0;
    server_socket_ = platform::open_udp_socket(error);
    const bool ok = server_socket_ != platform::invalid_socket &&
                    platform::bind_ipv4(server_socket_, bind_address.to_in_addr(), port) == 0 &&
                    (port != 0 || platform::local_port(server_socket_, listen_port_) == 0);
    if (!ok) {
        if (server_socket_ != platform::invalid_socket)
            platform::close_socket(server_socket_);
        server_socket_ = platform::invalid_socket;
        throw std::runtime_error(name_ + ": failed to create server socket.");
    }
}

udp_proxy_server_core::~udp_proxy_server_core()
{
    stop();
    if (server_socket_ != platform::invalid_socket)
        platform::close_socket(server_socket_);
}

bool udp_proxy_server_core::start()
{
    if (!stopped_.load())
        return true;
    if (server_socket_ == platform::invalid_socket)
        return false;  // started once in its life: stop() closed the socket
    stopped_.store(false);
    auto gate = std::make_shared<completion_gate>();
    const auto registration = completion_port_.associate_device(
        server_socket_, [gate, this](std::uint32_t bytes, platform::overlapped* ov, int success) {
            on_completion(gate, this, bytes, ov, success);
            return false;
        });
    bool ok = registration.first;
    if (ok) {
        completion_key_ = registration.second;
        gate_ = gate;
        std::lock_guard lock(mutex_);
        receive_locked();
        ok = receive_posted_;
    }
    if (!ok) {
        gate->open.store(false);
        platform::close_socket(server_socket_);
        server_socket_ = platform::invalid_socket;
        stopped_.store(true);
        return false;
    }
    cleanup_thread_ = std::thread([this] { cleanup_thread(); });
    return true;
}

void udp_proxy_server_core::stop()
{
    if (stopped_.exchange(true))
        return;
    {
        std::lock_guard lock(cleanup_mutex_);
        cleanup_wake_.notify_all();
    }
    if (cleanup_thread_.joinable())
        cleanup_thread_.join();
    {
        // From here completions only return their records; nothing is posted any more, so
        // closing the server socket cannot race with a send on it.
        std::lock_guard lock(mutex_);
        stopping_ = true;
        while (!sockets_.empty())
            retire_locked(sockets_.begin());
        if (server_socket_ != platform::invalid_socket) {
            platform::close_socket(server_socket_);
            server_socket_ = platform::invalid_socket;
        }
    }
    // The records of outstanding operations live in this object and the relay objects; let
    // their completions through before destroying them (while the pool runs; bounded).
    const auto until = std::chrono::steady_clock::now() + drain_limit;
    while (completion_port_.is_active() && std::chrono::steady_clock::now() < until) {
        {
            std::lock_guard lock(mutex_);
            destroy_finished_locked();
            if (!receive_posted_ && retiring_.empty())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (gate_) {
        gate_->open.store(false);
        while (gate_->inside.load() != 0)
            std::this_thread::yield();
    }
    std::lock_guard lock(mutex_);
    retiring_.clear();
}

void udp_proxy_server_core::on_completion(const std::shared_ptr<completion_gate>& gate,
                                          udp_proxy_server_core* server, std::uint32_t bytes,
                                          platform::overlapped* ov, int success)
{
    gate->inside.fetch_add(1);
    if (gate->open.load() && ov)
        server->handle(bytes, udp_io_context::from(ov), success != 0);
    gate->inside.fetch_sub(1);
}

void udp_proxy_server_core::handle(std::uint32_t bytes, udp_io_context* ctx, bool success)
{
    std::lock_guard lock(mutex_);
    if (ctx == &receive_context_) {
        receive_posted_ = false;
        if (stopping_)
            return;
        if (success && bytes != 0)
            handle_client_datagram(bytes);
        receive_locked();
        return;
    }
    auto* owner = static_cast<udp_relay_socket*>(ctx->owner);
    owner->operation_done();
    const bool retired = owner->relay_socket() == platform::invalid_socket;
    switch (ctx->kind) {
    case io_kind::read:
        if (!success) {
            owner->set_failed();
            return;
        }
        if (stopping_ || retired)
            return;
        owner->process_receive_buffer_complete(bytes, ctx);
        return;
    case io_kind::write:
        if (!success)
            owner->set_failed();
        if (success && !stopping_)
            owner->process_send_buffer_complete(bytes, ctx);
        else
            owner->udp_relay_socket::process_send_buffer_complete(bytes, ctx);
        return;
    case io_kind::owned_write:
        owner->udp_relay_socket::process_send_buffer_complete(bytes, ctx);
        return;
    case io_kind::negotiate_read:
        if (success && !stopping_)
            owner->process_receive_negotiate_complete(bytes, ctx);
        return;
    case io_kind::negotiate_write:
        if (success && !stopping_)
            owner->process_send_negotiate_complete(bytes, ctx);
        return;
    }
}

void udp_proxy_server_core::handle_client_datagram(std::uint32_t bytes)
{
    if (bytes < udp_relay_socket::header_size) {
        if (logs(log_level::all))
            log("process_receive_buffer_complete: dropped a datagram shorter than its header: " +
                std::to_string(bytes));
        return;
    }
    in_addr address{};
    client_endpoint client;
    if (!platform::read_ipv4_address(sender_, sender_length_, address, client.port))
        return;
    std::memcpy(client.address, &address, 4);
    udp_relay_socket* owner = connect_to_remote_host(client, sender_, sender_length_);
    if (!owner)
        return;
    std::unique_ptr<pooled_buffer> datagram = buffer_pool_.acquire(bytes);
    if (!datagram)
        return;
    std::memcpy(datagram->buffer.buffer, receive_buffer_.data(), bytes);
    receive_context_.owner = owner;
    receive_context_.buffer = datagram.release();
    owner->process_receive_buffer_complete(bytes, &receive_context_);
    // The relay object takes the buffer; one it left behind goes back to the pool.
    buffer_pool_.release(std::unique_ptr<pooled_buffer>(receive_context_.buffer));
    receive_context_.buffer = nullptr;
    receive_context_.owner = nullptr;
}

std::uint32_t udp_proxy_server_core::post_server_receive()
{
    sender_length_ = platform::socket_address_capacity;
    return platform::post_receive_from(server_socket_, receive_window_, &sender_, &sender_length_,
                                       &receive_context_.overlapped);
}

void udp_proxy_server_core::receive_locked()
{
    if (receive_posted_ || stopping_ || server_socket_ == platform::invalid_socket)
        return;
    const std::uint32_t e = post_server_receive();
    if (platform::completion_follows(e)) {
        receive_posted_ = true;
        if (receive_failure_logged_ && logs(log_level::info))
            log("receiving datagrams again");
        receive_failure_logged_ = false;
        return;
    }
    // Without a pending receive the server hears nothing: say so once, and let the cleanup
    // thread try again every second.
    if (!receive_failure_logged_ && logs(log_level::info))
        log("failed to post the server's receive, retrying every second: " + std::to_string(e));
    receive_failure_logged_ = true;
}

udp_relay_socket* udp_proxy_server_core::find(const client_endpoint& client)
{
    auto it = sockets_.find(client);
    return it == sockets_.end() ? nullptr : it->second.get();
}

udp_relay_socket* udp_proxy_server_core::adopt(const client_endpoint& client, std::unique_ptr<udp_relay_socket> relay)
{
    auto [it, inserted] = sockets_.emplace(client, nullptr);
    if (!inserted)
        return nullptr;  // the new object is discarded; its sockets close with it
    // A relay socket the port cannot report on would never complete anything.
    if (!completion_port_.associate_socket(relay->relay_socket(), completion_key_)) {
        sockets_.erase(it);
        return nullptr;
    }
    it->second = std::move(relay);
    ++relays_created_;
    it->second->start();
    return it->second.get();
}

void udp_proxy_server_core::retire_locked(std::map<client_endpoint, std::unique_ptr<udp_relay_socket>>::iterator it)
{
    it->second->close_sockets();
    retiring_.push_back(std::move(it->second));
    sockets_.erase(it);
}

void udp_proxy_server_core::destroy_finished_locked()
{
    retiring_.erase(std::remove_if(retiring_.begin(), retiring_.end(),
                                   [](const std::unique_ptr<udp_relay_socket>& s) { return s->outstanding() == 0; }),
                    retiring_.end());
}

void udp_proxy_server_core::cleanup_pass()
{
    std::lock_guard lock(mutex_);
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(clock_().time_since_epoch()).count();
    const std::int64_t limit = std::chrono::duration_cast<std::chrono::nanoseconds>(idle_limit).count();
    for (auto it = sockets_.begin(); it != sockets_.end();) {
        auto next = std::next(it);
        if (it->second->is_failed() || now - it->second->last_activity() > limit)
            retire_locked(it);
        it = next;
    }
    destroy_finished_locked();
    if (!stopped_.load())
        receive_locked();
}

void udp_proxy_server_core::cleanup_thread()
{
    std::unique_lock wait_lock(cleanup_mutex_);
    while (!stopped_.load()) {
        cleanup_wake_.wait_for(wait_lock, std::chrono::seconds(1), [this] { return stopped_.load(); });
        if (stopped_.load())
            break;
        cleanup_pass();
    }
}

std::size_t udp_proxy_server_core::relay_count()
{
    std::lock_guard lock(mutex_);
    return sockets_.size();
}

std::size_t udp_proxy_server_core::retiring_count()
{
    std::lock_guard lock(mutex_);
    return retiring_.size();
}

std::uint64_t udp_proxy_server_core::relays_created()
{
    std::lock_guard lock(mutex_);
    return relays_created_;
}

udp_proxy_server::udp_proxy_server(std::uint16_t port, io_completion_port& completion_port, query_remote_peer query,
                                   log_printer printer, log_level level, net::ip_address_v4 bind_address,
                                   udp_clock clock)
    : udp_proxy_server_core("udp_proxy_server", port, completion_port, std::move(query), std::move(printer), level,
                            bind_address, std::move(clock))
{
}

udp_proxy_server::~udp_proxy_server() { stop(); }

udp_relay_socket* udp_proxy_server::connect_to_remote_host(const client_endpoint& client,
                                                           const platform::socket_address& address,
                                                           int address_length)
{
    // The gateway's answer for this server carries nothing it needs; it is asked anyway so
    // that the gateway sees every client the same way.
    if (query_remote_peer_)
        (void)query_remote_peer_(net::ip_address_v4::from_bytes(client.address), client.port);
    if (udp_relay_socket* existing = find(client))
        return existing;
    std::uint32_t error = 0;
    const platform::socket_handle relay = platform::open_udp_socket(error);
    if (relay == platform::invalid_socket)
        return nullptr;
    if (platform::bind_ipv4(relay, in_addr{}, 0) != 0) {
        platform::close_socket(relay);
        return nullptr;
    }
    return adopt(client, std::make_unique<udp_proxy_socket>(buffer_pool_, server_socket_, relay, address,
                                                            address_length, printer_, level_, clock_));
}

}  // namespace proxy
