#pragma once
// The completion port of a gateway with its pool of worker threads and its registry of
// completion handlers. Every overlapped socket operation of the proxy servers completes here;
// a worker dequeues it and calls the handler registered for the socket it was issued on.
//
// Owned by the gateway (one per gateway). Servers register their sockets; the gateway starts
// the pool when it starts and stops it when it stops. A handler's completion key is the
// address of its heap copy, valid until this object is destroyed (handlers are never removed
// one by one), so the worker loop needs no lock.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/completion_port.h"
#include "platform/socket.h"

namespace proxy {

// (bytes transferred, the operation's overlapped record, success 1 or 0); the result is
// ignored. Runs on any worker thread, in parallel with others: it locks its own state.
using completion_handler = std::function<bool(std::uint32_t, platform::overlapped*, int)>;

class io_completion_port {
public:
    // The concurrency is the hardware concurrency; a system that reports none counts as one
    // processor, so the pool never ends up without workers.
    io_completion_port();
    // For tests and hosts that want a fixed pool: 2 x `concurrency` workers.
    explicit io_completion_port(std::uint32_t concurrency);
    ~io_completion_port();
    io_completion_port(const io_completion_port&) = delete;
    io_completion_port& operator=(const io_completion_port&) = delete;

    // Registers `handler` and binds `handle` to it. (false, 0) for an empty handler or a
    // failed binding.
    std::pair<bool, std::uintptr_t> associate_device(platform::socket_handle handle,
                                                     completion_handler handler);
    // Binds a further socket to a handler registered before; false for an unknown key.
    bool associate_socket(platform::socket_handle handle, std::uintptr_t key);

    void start_thread_pool();
    // Wakes every worker with a key-0 packet and joins them. A real completion dequeued
    // after this began is dropped.
    void stop_thread_pool();

    // Queues a packet of the caller's choosing (PostQueuedCompletionStatus).
    bool post_completion(std::uint32_t bytes, std::uintptr_t key, platform::overlapped* ov);

    bool is_active() const { return active_.load(); }
    std::uint32_t concurrency() const { return concurrency_; }
    std::size_t thread_count() const { return threads_.size(); }

private:
    void worker_thread();

    platform::completion_port port_;
    std::vector<std::thread> threads_;
    std::atomic<bool> active_{false};
    std::uint32_t concurrency_;
    std::shared_mutex lock_;  // guards handlers_ and keys_
    std::vector<std::unique_ptr<completion_handler>> handlers_;
    std::set<std::uintptr_t> keys_;
    platform::overlapped wake_up_{};  // the zero-filled record of stop's packets
};

}  // namespace proxy
