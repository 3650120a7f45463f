#pragma once
// RAII raise/lower of an adapter counter that pause waits for (outstanding sends or
// indications). Raise it before testing `running()`: pause stores the pausing state and then
// reads the counters, a handler raises a counter and then reads the state, and only
// sequentially consistent ordering on both sides guarantees that at least one of them sees
// the other (with release/acquire, each could miss the other's write and a handler would run
// on a paused filter).

#include <atomic>
#include <cstdint>

namespace corvflt {

class pause_counter_hold {
public:
    pause_counter_hold(std::atomic<std::uint32_t>& counter, std::uint32_t amount = 1)
        : counter_(counter), amount_(amount)
    {
        counter_.fetch_add(amount_, std::memory_order_seq_cst);
    }
    ~pause_counter_hold() { counter_.fetch_sub(amount_, std::memory_order_release); }
    pause_counter_hold(const pause_counter_hold&) = delete;
    pause_counter_hold& operator=(const pause_counter_hold&) = delete;

private:
    std::atomic<std::uint32_t>& counter_;
    std::uint32_t amount_;
};

}  // namespace corvflt
