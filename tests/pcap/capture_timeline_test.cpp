#include "pcap/capture_timeline.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr std::int64_t ms = 1'000'000;  // nanoseconds

TEST(pcap_capture_timeline, first_record_anchors_and_later_ones_add_monotonic_time)
{
    pcap::capture_timeline timeline;
    int wall_reads = 0;
    const auto wall = [&] {
        ++wall_reads;
        return std::int64_t{1'700'000'000};
    };
    const std::int64_t base = 987'654'321'123;  // the monotonic clock's origin is arbitrary

    struct row {
        std::int64_t steady_ns;
        std::uint32_t seconds;
        std::uint32_t microseconds;
    };
    const row rows[] = {
        {base, 1'700'000'000, 0},                          // first record: base seconds, 0 us
        {base + 1500 * ms, 1'700'000'001, 500'000},        // 1.5 s later
        {base + 999'999, 1'700'000'000, 0},                // below one millisecond: truncated
        {base + 2999 * ms + 999'999, 1'700'000'002, 999'000},
        {base + 3600'000 * ms, 1'700'003'600, 0},          // an hour on
        {base - 5 * ms, 1'700'000'000, 0},                 // never before the anchor
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.steady_ns - base);
        const auto stamp = timeline.stamp(r.steady_ns, wall);
        EXPECT_EQ(stamp.seconds, r.seconds);
        EXPECT_EQ(stamp.microseconds, r.microseconds);
    }
    // The wall clock is read once: later adjustments of it do not move the capture's times.
    EXPECT_EQ(wall_reads, 1);
}

}  // namespace
