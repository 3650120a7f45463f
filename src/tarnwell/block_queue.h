#pragma once
// A FIFO of packet blocks between two pipeline threads of the queued filter, with its own
// mutex and condition variable. Its ring holds every block the filter has, so pushing
// never allocates.
//
// take() and give() are called by the pipeline threads, wake_all() by the owner on stop.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "tarnwell/filter_state.h"
#include "tarnwell/packet_block.h"

namespace tarnwell {

inline constexpr std::size_t PACKET_BLOCK_COUNT = 10;

class block_queue {
public:
    // Waits while the filter runs and the queue is empty; null once `state` is no longer
    // running.
    template <class State>
    packet_block* take(const State& state)
    {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return state.load() != filter_state::running || size_ != 0; });
        if (state.load() != filter_state::running)
            return nullptr;
        packet_block* block = ring_[head_];
        head_ = (head_ + 1) % ring_.size();
        --size_;
        return block;
    }

    void give(packet_block* block)
    {
        {
            std::lock_guard lock(mutex_);
            // The ring holds all blocks there are, so it cannot overflow.
            ring_[(head_ + size_) % ring_.size()] = block;
            ++size_;
        }
        ready_.notify_one();
    }

    // Wakes every waiter after the state changed. Taking the mutex first orders the state
    // change before any waiter's next check, so no waiter sleeps through it.
    void wake_all()
    {
        { std::lock_guard lock(mutex_); }
        ready_.notify_all();
    }

    void clear()
    {
        std::lock_guard lock(mutex_);
        head_ = 0;
        size_ = 0;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::array<packet_block*, PACKET_BLOCK_COUNT> ring_{};
    std::size_t head_ = 0;  // guarded by mutex_
    std::size_t size_ = 0;  // guarded by mutex_
};

}  // namespace tarnwell
