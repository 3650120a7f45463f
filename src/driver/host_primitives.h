#pragma once
// Locks the driver core uses. They are plain atomics so that the same code runs in a kernel
// (where these would map onto spin locks at dispatch level) and in user-mode hosts. A
// waiting CPU calls host_cpu_relax(), which each host build provides (user mode: yield).
//
// Critical sections under these locks are short and never call out to the host.

#include <atomic>
#include <cstdint>

namespace corvflt {

// Provided by the host build (user mode: src/driver/user_cpu_relax.cpp).
void host_cpu_relax();

class spin_lock {
public:
    void lock()
    {
        while (locked_.exchange(true, std::memory_order_acquire)) {
            while (locked_.load(std::memory_order_relaxed))
                host_cpu_relax();
        }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

// Reader/writer spin lock: state_ is the reader count, or -1 while a writer holds it.
class rw_spin_lock {
public:
    void lock_shared()
    {
        for (;;) {
            std::int32_t seen = state_.load(std::memory_order_relaxed);
            if (seen >= 0 &&
                state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire))
                return;
            host_cpu_relax();
        }
    }
    void unlock_shared() { state_.fetch_sub(1, std::memory_order_release); }
    void lock()
    {
        for (;;) {
            std::int32_t expected = 0;
            if (state_.compare_exchange_weak(expected, -1, std::memory_order_acquire))
                return;
            host_cpu_relax();
        }
    }
    void unlock() { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::int32_t> state_{0};
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
    explicit shared_guard(rw_spin_lock& lock) : lock_(lock) { lock_.lock_shared(); }
    ~shared_guard() { lock_.unlock_shared(); }
    shared_guard(const shared_guard&) = delete;
    shared_guard& operator=(const shared_guard&) = delete;

private:
    rw_spin_lock& lock_;
};

}  // namespace corvflt
