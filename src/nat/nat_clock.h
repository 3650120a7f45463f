#pragma once
// The wall-clock second that translation entries are stamped with. Injected into the tables so
// that tests can age entries by hours without sleeping; the gateway uses system_nat_clock().

#include <atomic>
#include <cstdint>
#include <memory>

namespace nat {

// Read under the table locks from the filter threads and from start/stop: implementations must
// be thread-safe and cheap.
class nat_clock {
public:
    virtual ~nat_clock() = default;
    // Whole seconds since 1970 (the clock may step backwards when the host's time is set).
    virtual std::int64_t now_seconds() const noexcept = 0;
};

// The host's wall clock; one shared instance for the process.
std::shared_ptr<const nat_clock> system_nat_clock();

// A clock that only moves when told to. Any thread may set or advance it.
class manual_nat_clock final : public nat_clock {
public:
    explicit manual_nat_clock(std::int64_t start_seconds = 1'700'000'000) noexcept : now_(start_seconds) {}

    std::int64_t now_seconds() const noexcept override { return now_.load(std::memory_order_relaxed); }
    void set(std::int64_t seconds) noexcept { now_.store(seconds, std::memory_order_relaxed); }
    void advance(std::int64_t seconds) noexcept { now_.fetch_add(seconds, std::memory_order_relaxed); }

private:
    std::atomic<std::int64_t> now_;
};

}  // namespace nat
