#pragma once
// The local UDP proxy server used while a SOCKS5 upstream proxy is selected: each client
// endpoint gets its own UDP ASSOCIATE session with the proxy, and its datagrams pass
// unchanged to and from the proxy's relay. A refused or failed association drops the
// datagrams that waited for it; the client's next datagram tries again.
//
// The ASSOCIATE (a blocking TCP connect and exchange) never runs on a completion worker or
// under the server mutex, so a slow or dead proxy delays only the endpoints that wait for
// it. On an endpoint's first datagram the handler inserts its socks5_udp_proxy_socket in the
// associating state (where the endpoint's datagrams queue, boundedly) and queues a job; one
// of a fixed set of associate threads, owned here and joined by stop(), runs the connect and
// the exchange against one deadline for the whole job, counted from the first datagram, and
// then, under the server mutex, finishes the object (relay socket connected, bound to the
// registration, started, queued datagrams flushed) or retires it.
//
// Bounds against a client that makes endpoints faster than the proxy answers: at most
// `max_in_progress` associations queued or running (a new endpoint's datagram beyond that is
// dropped), `threads` associate threads, `max_queued` datagrams per associating endpoint. A
// job that waited past its deadline fails without touching the network, so a backlog drains
// at once.
//
// Threads: completion workers (handler, under mutex_), the associate threads (their queue and
// running jobs under mutex_; the network exchange without any lock), the cleanup thread and
// the gateway's start/stop. stop() wakes a running exchange by shutting its control socket
// down (the job keeps the socket open until its thread takes mutex_ again, so the handle is
// never reused under it) and by the cancel flag the exchange reads every 100 ms.
//
// The gateway's query_remote_peer answers with the proxy's address and port.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "proxy/udp_proxy_server.h"

namespace proxy {

struct socks5_udp_limits {
    std::chrono::milliseconds deadline{5000};  // connect and exchange, per association
    std::size_t threads = 4;
    std::size_t max_in_progress = 64;
    std::size_t max_queued = 8;  // datagrams per associating endpoint
};

class socks5_udp_proxy_server : public udp_proxy_server_core {
public:
    socks5_udp_proxy_server(std::uint16_t port, io_completion_port& completion_port, query_remote_peer query,
                            log_printer printer, log_level level, net::ip_address_v4 bind_address = {},
                            udp_clock clock = &std::chrono::steady_clock::now, socks5_udp_limits limits = {});
    ~socks5_udp_proxy_server() override;

    // Associations queued or running; for tests and diagnostics.
    std::size_t associations_in_progress();

protected:
    udp_relay_socket* connect_to_remote_host(const client_endpoint& client, const platform::socket_address& address,
                                             int address_length) override;
    void start_helpers() override;
    void stop_helpers() override;

private:
    struct associate_job {
        client_endpoint client;
        std::uint64_t association = 0;
        net::ip_address_v4 proxy_address;
        std::uint16_t proxy_port = 0;
        std::chrono::steady_clock::time_point deadline;
        platform::unique_socket control;  // set and taken under mutex_
    };

    void associate_thread();
    // Connect and exchange; runs without a lock. The relay port, or nothing.
    std::optional<std::uint16_t> run_associate(const associate_job& job);
    // Under mutex_: turns the endpoint's associating object into a running relay, or
    // retires it.
    void finish_locked(associate_job& job, std::optional<std::uint16_t> relay_port);

    const socks5_udp_limits limits_;
    // Under mutex_:
    std::deque<std::unique_ptr<associate_job>> queued_jobs_;
    std::vector<associate_job*> running_jobs_;
    std::uint64_t next_association_ = 1;
    bool helpers_stopping_ = false;
    std::condition_variable jobs_ready_;  // waited on with mutex_
    // Read by the exchange without a lock.
    std::atomic<bool> cancel_{false};
    std::vector<std::thread> threads_;  // started by start(), joined by stop()
};

}  // namespace proxy
