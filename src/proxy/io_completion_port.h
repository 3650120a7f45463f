#pragma once
// The completion port of a gateway with its pool of worker threads and its registry of
// completion handlers. Every overlapped socket operation of the proxy servers and the DNS
// proxy service completes here; a worker dequeues it and calls the handler registered for
// the socket it was issued on.
//
// Owned by the gateway (one per gateway). Servers register their sockets; the gateway starts
// the pool when it starts and stops it when it stops.
//
// Handler lifetimes belong to the port: associate_device() returns a completion_registration,
// and releasing it (or destroying it) is the end of that handler. After release() returns no
// handler of that registration runs any more, and one that was running on another thread
// has returned. A completion that arrives later for one of its sockets (an operation the
// closed socket aborted) is dequeued and dropped. So an owner closes its sockets, releases
// its registration and may then free what its handler touches, with no gate of its own.
//
// The completion key of a registration is the address of its entry in the port. Entries are
// small and stay with the port until the port is destroyed, released or not, so that a late
// completion still finds its (released) entry: registrations are meant for long-lived owners
// (a server, the DNS forwarder), a handful per port, not one per connection.

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

class io_completion_port;

// The right to have completions delivered to one handler. Move-only; releasing it ends the
// handler (see above). release() may be called from inside the handler itself: it then
// waits only for the handler's runs on other threads, and the calling run finishes
// normally afterwards (it must not touch what the owner frees once it returns).
class completion_registration {
public:
    completion_registration() = default;
    ~completion_registration() { release(); }
    completion_registration(completion_registration&& other) noexcept
        : entry_(std::exchange(other.entry_, nullptr))
    {
    }
    completion_registration& operator=(completion_registration&& other) noexcept
    {
        if (this != &other) {
            release();
            entry_ = std::exchange(other.entry_, nullptr);
        }
        return *this;
    }
    completion_registration(const completion_registration&) = delete;
    completion_registration& operator=(const completion_registration&) = delete;

    bool valid() const { return entry_ != nullptr; }
    explicit operator bool() const { return valid(); }
    // The completion key its sockets complete with; 0 when not valid.
    std::uintptr_t key() const { return reinterpret_cast<std::uintptr_t>(entry_); }
    void release();

    struct entry;

private:
    friend class io_completion_port;
    explicit completion_registration(entry* e) : entry_(e) {}
    entry* entry_ = nullptr;
};

class io_completion_port {
public:
    // The concurrency is the hardware concurrency; a system that reports none counts as one
    // processor, so the pool never ends up without workers.
    io_completion_port();
    // For tests and hosts that want a fixed pool: 2 x `concurrency` workers.
    explicit io_completion_port(std::uint32_t concurrency);
    // Stops the pool. Registrations must have been released (or destroyed) before.
    ~io_completion_port();
    io_completion_port(const io_completion_port&) = delete;
    io_completion_port& operator=(const io_completion_port&) = delete;

    // Registers `handler` and binds `handle` to it. An invalid registration for an empty
    // handler or a failed binding (nothing is registered then).
    completion_registration associate_device(platform::socket_handle handle,
                                             completion_handler handler);
    // Binds a further socket (an accepted or newly opened one) to a live registration; false
    // for a key this port never returned or one already released.
    bool associate_socket(platform::socket_handle handle, std::uintptr_t key);
    bool associate_socket(platform::socket_handle handle, const completion_registration& registration)
    {
        return associate_socket(handle, registration.key());
    }

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
    void dispatch(const platform::completion& c);
    friend class completion_registration;

    platform::completion_port port_;
    std::vector<std::thread> threads_;
    std::atomic<bool> active_{false};
    std::uint32_t concurrency_;
    std::shared_mutex lock_;  // guards entries_ and keys_
    std::vector<std::unique_ptr<completion_registration::entry>> entries_;
    std::set<std::uintptr_t> keys_;  // the keys of entries not yet released
    platform::overlapped wake_up_{};  // the zero-filled record of stop's packets
};

}  // namespace proxy
