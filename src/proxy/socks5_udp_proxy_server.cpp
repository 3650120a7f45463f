#include "proxy/socks5_udp_proxy_server.h"

#include <algorithm>

#include "proxy/socks5_associate.h"
#include "proxy/socks5_udp_proxy_socket.h"

namespace proxy {

socks5_udp_proxy_server::socks5_udp_proxy_server(std::uint16_t port, io_completion_port& completion_port,
                                                 query_remote_peer query, log_printer printer, log_level level,
                                                 net::ip_address_v4 bind_address, udp_clock clock,
                                                 socks5_udp_limits limits)
    : udp_proxy_server_core("socks5_udp_proxy_server", port, completion_port, std::move(query), std::move(printer),
                            level, bind_address, std::move(clock)),
      limits_(limits)
{
}

socks5_udp_proxy_server::~socks5_udp_proxy_server() { stop(); }

void socks5_udp_proxy_server::start_helpers()
{
    const std::size_t count = std::max<std::size_t>(limits_.threads, 1);
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        threads_.emplace_back([this] { associate_thread(); });
}

void socks5_udp_proxy_server::stop_helpers()
{
    {
        std::lock_guard lock(mutex_);
        helpers_stopping_ = true;
        cancel_.store(true);
        queued_jobs_.clear();  // their objects are retired with all the others
        for (associate_job* job : running_jobs_)
            if (job->control)
                platform::shutdown_socket(job->control.get());
    }
    jobs_ready_.notify_all();
    for (auto& t : threads_)
        if (t.joinable())
            t.join();
    threads_.clear();
}

std::size_t socks5_udp_proxy_server::associations_in_progress()
{
    std::lock_guard lock(mutex_);
    return queued_jobs_.size() + running_jobs_.size();
}

udp_relay_socket* socks5_udp_proxy_server::connect_to_remote_host(const client_endpoint& client,
                                                                  const platform::socket_address& address,
                                                                  int address_length)
{
    if (!query_remote_peer_)
        return nullptr;
    const auto [proxy_address, proxy_port, context] =
        query_remote_peer_(net::ip_address_v4::from_bytes(client.address), client.port);
    if (udp_relay_socket* existing = find(client))
        return existing;
    if (proxy_port == 0 || helpers_stopping_)
        return nullptr;
    if (queued_jobs_.size() + running_jobs_.size() >= limits_.max_in_progress) {
        if (logs(log_level::debug))
            log("connect_to_remote_host: too many associations in progress, datagram dropped: " +
                to_string(client));
        return nullptr;
    }
    auto job = std::make_unique<associate_job>();
    job->client = client;
    job->association = next_association_++;
    job->proxy_address = proxy_address;
    job->proxy_port = proxy_port;
    job->deadline = std::chrono::steady_clock::now() + limits_.deadline;
    udp_relay_socket* pending = insert_pending(
        client, std::make_unique<socks5_udp_proxy_socket>(buffer_pool_, server_socket_.get(), address, address_length,
                                                          client, printer_, level_, clock_, job->association,
                                                          limits_.max_queued));
    if (!pending)
        return nullptr;
    queued_jobs_.push_back(std::move(job));
    jobs_ready_.notify_one();
    return pending;
}

void socks5_udp_proxy_server::associate_thread()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        jobs_ready_.wait(lock, [this] { return helpers_stopping_ || !queued_jobs_.empty(); });
        if (helpers_stopping_)
            return;
        std::unique_ptr<associate_job> job = std::move(queued_jobs_.front());
        queued_jobs_.pop_front();
        std::uint32_t error = 0;
        job->control = platform::make_tcp_socket(error);
        running_jobs_.push_back(job.get());
        lock.unlock();
        const std::optional<std::uint16_t> relay_port = run_associate(*job);
        lock.lock();
        running_jobs_.erase(std::find(running_jobs_.begin(), running_jobs_.end(), job.get()));
        finish_locked(*job, relay_port);
        // The job's control socket, unless finish_locked took it, closes here under mutex_:
        // stop() never shuts down a handle that was closed and possibly reused.
        job.reset();
    }
}

std::optional<std::uint16_t> socks5_udp_proxy_server::run_associate(const associate_job& job)
{
    const std::string proxy_text = net::to_string(job.proxy_address) + " : " + std::to_string(job.proxy_port);
    if (logs(log_level::all))
        log("connect_to_remote_host: Connect to SOCKS5 proxy and send ASSOCIATE command: " + proxy_text);
    // A job that waited past its deadline fails here without a connect.
    const std::uint32_t left = milliseconds_until(job.deadline);
    if (!job.control || left == 0 || cancel_.load() || platform::bind_any_for_connect(job.control.get()) != 0 ||
        platform::connect_ipv4_wait(job.control.get(), job.proxy_address.to_in_addr(), job.proxy_port, left) != 0) {
        if (logs(log_level::debug))
            log("connect_to_remote_host: Failed to connect to SOCKS5 proxy: " + proxy_text);
        return std::nullopt;
    }
    const std::optional<std::uint16_t> relay_port =
        associate_to_socks5_proxy(job.control.get(), printer_, level_, job.deadline, &cancel_);
    if (!relay_port && logs(log_level::debug))
        log("connect_to_remote_host: ASSOCIATE command has failed: " + proxy_text);
    return relay_port;
}

void socks5_udp_proxy_server::finish_locked(associate_job& job, std::optional<std::uint16_t> relay_port)
{
    auto* relay = static_cast<socks5_udp_proxy_socket*>(find(job.client));
    // The endpoint's object may have gone (stop, cleanup) and even come back as a newer one.
    if (!relay || !relay->associating() || relay->association() != job.association)
        return;
    if (!relay_port || helpers_stopping_ || stopping_locked()) {
        remove(job.client, relay);
        return;
    }
    if (logs(log_level::all))
        log("connect_to_remote_host:  UDP connect: " + net::to_string(job.proxy_address) + " : " +
            std::to_string(*relay_port));
    std::uint32_t error = 0;
    platform::unique_socket udp = platform::make_udp_socket(error);
    if (!udp || platform::bind_ipv4(udp.get(), in_addr{}, 0) != 0 ||
        platform::connect_ipv4(udp.get(), job.proxy_address.to_in_addr(), *relay_port) != 0) {
        remove(job.client, relay);
        return;
    }
    relay->attach(std::move(udp), std::move(job.control));
    if (!activate(job.client, *relay))
        return;
    relay->flush_queued();
}

}  // namespace proxy
