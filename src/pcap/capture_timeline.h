#pragma once
// Turns clock readings into capture record timestamps. The first record anchors a monotonic
// clock to the wall clock; every later record is the anchor plus the monotonic time elapsed,
// so timestamps never go backwards when the wall clock is adjusted during a capture.

#include <cstdint>
#include <optional>

namespace pcap {

struct capture_timestamp {
    std::uint32_t seconds;       // since 1970-01-01 UTC
    std::uint32_t microseconds;  // 0..999000, whole milliseconds
};

// Owns the anchor only. Not synchronised: the process-wide instance is used under the
// capture mutex.
class capture_timeline {
public:
    // `steady_ns`: the monotonic clock now, in nanoseconds. `wall_seconds`: a callable giving
    // the wall clock in whole seconds since 1970; read only for the first record.
    template <typename WallSeconds>
    capture_timestamp stamp(std::int64_t steady_ns, WallSeconds&& wall_seconds)
    {
        if (!base_)
            base_ = anchor{steady_ns, static_cast<std::int64_t>(wall_seconds())};
        return elapsed_since_base(steady_ns);
    }

private:
    struct anchor {
        std::int64_t steady_ns;
        std::int64_t wall_seconds;
    };

    capture_timestamp elapsed_since_base(std::int64_t steady_ns) const;

    std::optional<anchor> base_;
};

}  // namespace pcap
