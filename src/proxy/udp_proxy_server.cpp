#include "proxy/udp_proxy_server.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "proxy/udp_proxy_socket.h"

namespace proxy {

namespace {

std::uint32_t address_key(const client_endpoint& client)
{
    std::uint32_t key = 0;
    std::memcpy(&key, client.address, 4);
    return key;
}

}  // namespace

udp_proxy_server_core::udp_proxy_server_core(const char* name, std::uint16_t port,
                                             io_completion_port& completion_port, query_remote_peer query,
                                             log_printer printer, log_level level,
                                             net::ip_address_v4 bind_address, udp_clock clock,
                                             std::size_t endpoints_per_client)
    : completion_port_(completion_port),
      query_remote_peer_(std::move(query)),
      printer_(std::move(printer)),
      level_(level),
      clock_(std::move(clock)),
      prefix_(std::string(name) + ": "),
      name_(name),
      endpoints_per_client_(endpoints_per_client),
      listen_port_(port)
{
    receive_window_.buffer = receive_buffer_.data();
    std::uint32_t error = 0;
    server_socket_ = platform::make_udp_socket(error);
    const bool ok = server_socket_ && platform::bind_ipv4(server_socket_.get(), bind_address.to_in_addr(), port) == 0 &&
                    (port != 0 || platform::local_port(server_socket_.get(), listen_port_) == 0);
    if (!ok) {
        server_socket_.close();
        throw std::runtime_error(name_ + ": failed to create server socket.");
    }
}

udp_proxy_server_core::~udp_proxy_server_core() { stop(); }

bool udp_proxy_server_core::start()
{
    if (!stopped_.load())
        return true;
    if (!server_socket_)
        return false;  // started once in its life: stop() closed the socket
    stopped_.store(false);
    registration_ = completion_port_.associate_device(
        server_socket_.get(), [this](std::uint32_t bytes, platform::overlapped* ov, int success) {
            if (ov)
                handle(bytes, udp_io_context::from(ov), success != 0);
            return false;
        });
    bool ok = registration_.valid();
    if (ok) {
        std::lock_guard lock(mutex_);
        receive_locked();
        ok = receive_posted_;
    }
    if (!ok) {
        // Nothing was posted, so nothing can complete: the registration goes at once.
        registration_.release();
        server_socket_.close();
        stopped_.store(true);
        return false;
    }
    start_helpers();
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
    stop_helpers();

    std::unique_lock lock(mutex_);
    // From here completions only return their records; nothing is posted any more, so
    // closing the server socket cannot race with a send on it.
    stopping_ = true;
    while (!sockets_.empty())
        retire_locked(sockets_.begin());
    server_socket_.close();
    // Without running workers nothing comes back: the wait would only burn its bound.
    if (completion_port_.is_active())
        drained_.wait_for(lock, drain_limit, [this] { return drained_locked(); });
    lock.unlock();
    // Not under mutex_: release() waits for a handler that may be waiting for it.
    registration_.release();
    lock.lock();
    destroy_finished_locked();
    if (!retiring_.empty() || receive_posted_) {
        if (logs(log_level::info))
            log("stopped with operations still outstanding; leaving " + std::to_string(retiring_.size()) +
                " relay objects to the system");
        leaked_ += retiring_.size();
        for (auto& relay : retiring_)
            (void)relay.release();
        retiring_.clear();
    }
}

bool udp_proxy_server_core::drained_locked() const
{
    return !receive_posted_ && std::all_of(retiring_.begin(), retiring_.end(), [](const auto& relay) {
               return relay->outstanding() == 0;
           });
}

void udp_proxy_server_core::handle(std::uint32_t bytes, udp_io_context* ctx, bool success)
{
    std::lock_guard lock(mutex_);
    if (ctx == &receive_context_) {
        receive_posted_ = false;
        if (!stopping_) {
            if (success && bytes != 0)
                handle_client_datagram(bytes);
            receive_locked();
        }
    } else {
        handle_relay_completion(bytes, ctx, success);
    }
    if (stopping_)
        drained_.notify_all();
}

void udp_proxy_server_core::handle_relay_completion(std::uint32_t bytes, udp_io_context* ctx, bool success)
{
    auto* owner = static_cast<udp_relay_socket*>(ctx->owner);
    owner->operation_done();
    const bool retired = owner->is_closed();
    switch (ctx->kind) {
    case io_kind::read:
        if (!success)
            owner->set_failed();
        else if (!stopping_ && !retired)
            owner->process_receive_buffer_complete(bytes, ctx);
        break;
    case io_kind::write:
        if (!success)
            owner->set_failed();
        if (success && !stopping_)
            owner->process_send_buffer_complete(bytes, ctx);
        else
            owner->udp_relay_socket::process_send_buffer_complete(bytes, ctx);
        break;
    case io_kind::owned_write:
        owner->udp_relay_socket::process_send_buffer_complete(bytes, ctx);
        break;
    case io_kind::negotiate_read:
        if (success && !stopping_)
            owner->process_receive_negotiate_complete(bytes, ctx);
        break;
    case io_kind::negotiate_write:
        if (success && !stopping_)
            owner->process_send_negotiate_complete(bytes, ctx);
        break;
    case io_kind::connect:
    case io_kind::accept:
        break;  // the UDP relays issue no connects or accepts
    }
    // A retired object goes with its last record.
    if (retired && owner->outstanding() == 0) {
        auto it = std::find_if(retiring_.begin(), retiring_.end(),
                               [owner](const auto& relay) { return relay.get() == owner; });
        if (it != retiring_.end())
            retiring_.erase(it);
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
    return platform::post_receive_from(server_socket_.get(), receive_window_, &sender_, &sender_length_,
                                       &receive_context_.overlapped);
}

void udp_proxy_server_core::receive_locked()
{
    if (receive_posted_ || stopping_ || !server_socket_)
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

udp_relay_socket* udp_proxy_server_core::insert_pending(const client_endpoint& client,
                                                        std::unique_ptr<udp_relay_socket> relay)
{
    if (sockets_.find(client) != sockets_.end())
        return nullptr;  // the new object is discarded; its sockets close with it
    if (!admits_locked(client))
        return nullptr;
    auto it = sockets_.emplace(client, std::move(relay)).first;
    ++endpoints_by_address_[address_key(client)];
    return it->second.get();
}

bool udp_proxy_server_core::admits_locked(const client_endpoint& client)
{
    const auto it = endpoints_by_address_.find(address_key(client));
    if (it == endpoints_by_address_.end() || it->second < endpoints_per_client_)
        return true;
    if (logs(log_level::info)) {
        if (const auto left_out = refusal_log_.admit_line()) {
            std::string text = "refused a new endpoint " + to_string(client) + ": its address has " +
                               std::to_string(endpoints_per_client_) + " endpoints relayed";
            if (*left_out != 0)
                text += " (" + std::to_string(*left_out) + " more refused since the last such line)";
            log(text);
        }
    }
    return false;
}

bool udp_proxy_server_core::activate(const client_endpoint& client, udp_relay_socket& relay)
{
    // A relay socket the port cannot report on would never complete anything.
    if (!completion_port_.associate_socket(relay.relay_socket(), registration_)) {
        remove(client, &relay);
        return false;
    }
    ++relays_created_;
    relay.start();
    return true;
}

udp_relay_socket* udp_proxy_server_core::adopt(const client_endpoint& client, std::unique_ptr<udp_relay_socket> relay)
{
    udp_relay_socket* inserted = insert_pending(client, std::move(relay));
    if (!inserted || !activate(client, *inserted))
        return nullptr;
    return inserted;
}

void udp_proxy_server_core::remove(const client_endpoint& client, const udp_relay_socket* relay)
{
    auto it = sockets_.find(client);
    if (it != sockets_.end() && it->second.get() == relay)
        retire_locked(it);
}

void udp_proxy_server_core::retire_locked(socket_map::iterator it)
{
    const auto count = endpoints_by_address_.find(address_key(it->first));
    if (count != endpoints_by_address_.end() && --count->second == 0)
        endpoints_by_address_.erase(count);
    it->second->close_sockets();
    if (it->second->outstanding() != 0)
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

std::size_t udp_proxy_server_core::leaked_count()
{
    std::lock_guard lock(mutex_);
    return leaked_;
}

udp_proxy_server::udp_proxy_server(std::uint16_t port, io_completion_port& completion_port, query_remote_peer query,
                                   log_printer printer, log_level level, net::ip_address_v4 bind_address,
                                   udp_clock clock, std::size_t endpoints_per_client)
    : udp_proxy_server_core("udp_proxy_server", port, completion_port, std::move(query), std::move(printer), level,
                            bind_address, std::move(clock), endpoints_per_client)
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
    const net::ip_address_v4 address_of_client = net::ip_address_v4::from_bytes(client.address);
    if (client_check_ && !client_check_(address_of_client, client.port)) {
        if (logs(log_level::info)) {
            if (const auto left_out = stranger_log_.admit_line()) {
                std::string text = "dropped a datagram of " + to_string(client) + ": no redirected client has that endpoint";
                if (*left_out != 0)
                    text += " (" + std::to_string(*left_out) + " more dropped since the last such line)";
                log(text);
            }
        }
        return nullptr;
    }
    // Refused before a socket is made for it.
    if (!admits_locked(client))
        return nullptr;
    std::uint32_t error = 0;
    platform::unique_socket relay = platform::make_udp_socket(error);
    if (!relay || platform::bind_ipv4(relay.get(), in_addr{}, 0) != 0)
        return nullptr;
    return adopt(client, std::make_unique<udp_proxy_socket>(buffer_pool_, server_socket_.get(), std::move(relay),
                                                            address, address_length, printer_, level_, clock_));
}

}  // namespace proxy
