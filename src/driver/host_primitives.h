#pragma once
// Locks the driver core uses. They are plain atomics so that the same code runs in a kernel
// and in user-mode hosts. A waiting CPU calls host_cpu_relax(), which each host build
// provides (user mode: yield). Holding a lock goes through host_lock_enter/leave: a kernel
// host raises to dispatch level there, so that no DPC on this CPU can spin on a lock its own
// interrupted thread holds; user-mode hosts do nothing.
//
// Critical sections under these locks are short and never call out to the host.

#include <atomic>
#include <cstdint>

namespace corvflt {

// Provided by the host build (user mode: src/driver/user_cpu_relax.cpp).
void host_cpu_relax();
// Returns what host_lock_leave needs to restore (a kernel host: the previous IRQL).
std::uint32_t host_lock_enter();
void host_lock_leave(std::uint32_t previous);

class spin_lock {
public:
    void lock()
    {
        const std::uint32_t previous = host_lock_enter();
        while (locked_.exchange(true, std::memory_order_acquire)) {
            while (locked_.load(std::memory_order_relaxed))
                host_cpu_relax();
        }
        previous_ = previous;
    }
    void unlock()
    {
        const std::uint32_t previous = previous_;
        locked_.store(false, std::memory_order_release);
        host_lock_leave(previous);
    }

private:
    std::atomic<bool> locked_{false};
    std::uint32_t previous_ = 0;  // written and read only by the holder
};

// Reader/writer spin lock: state_ is the reader count, or -1 while a writer holds it.
class rw_spin_lock {
public:
    // Readers keep what host_lock_leave needs themselves (shared_guard does).
    std::uint32_t lock_shared()
    {
        const std::uint32_t previous = host_lock_enter();
        for (;;) {
            std::int32_t seen = state_.load(std::memory_order_relaxed);
            if (seen >= 0 &&
                state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire))
                return previous;
            host_cpu_relax();
        }
    }
    void unlock_shared(std::uint32_t previous)
    {
        state_.fetch_sub(1, std::memory_order_release);
        host_lock_leave(previous);
    }
    void lock()
    {
        const std::uint32_t previous = host_lock_enter();
        for (;;) {
            std::int32_t expected = 0;
            if (state_.compare_exchange_weak(expected, -1, std::memory_order_acquire))
                break;
            host_cpu_relax();
        }
        previous_ = previous;
    }
    void unlock()
    {
        const std::uint32_t previous = previous_;
        state_.store(0, std::memory_order_release);
        host_lock_leave(previous);
    }

private:
    std::atomic<std::int32_t> state_{0};
    std::uint32_t previous_ = 0;  // the writer's
};

template <class Lock>
class exclusive_guard {
public:
    explicit exclusive_guard(Lock& lock) : lock_(lock) { lock_.lock(); }
    ~exclusive_guard() { lock_.unlock(); }
    exclusive_guard(const exclusive_guard&) = delete;
    exclusive_guard& operator=(const exclusive_guard&) = delete;

private:
    Lock& lock_;
};

class shared_guard {
public:
    explicit shared_guard(rw_spin_lock& lock) : lock_(lock), previous_(lock_.lock_shared()) {}
    ~shared_guard() { lock_.unlock_shared(previous_); }
    shared_guard(const shared_guard&) = delete;
    shared_guard& operator=(const shared_guard&) = delete;

private:
    rw_spin_lock& lock_;
    std::uint32_t previous_;
};

}  // namespace corvflt
