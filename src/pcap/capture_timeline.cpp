#include "pcap/capture_timeline.h"

namespace pcap {

capture_timestamp capture_timeline::elapsed_since_base(std::int64_t steady_ns) const
{
    // A monotonic clock cannot run backwards; should a reading ever precede the anchor, the
    // record keeps the anchor's time rather than a wrapped one.
    std::int64_t elapsed_ms = (steady_ns - base_->steady_ns) / 1'000'000;
    if (elapsed_ms < 0)
        elapsed_ms = 0;
    // The file format has 32-bit seconds; the value wraps in 2106.
    return capture_timestamp{
        static_cast<std::uint32_t>(base_->wall_seconds + elapsed_ms / 1000),
        static_cast<std::uint32_t>((elapsed_ms % 1000) * 1000),
    };
}

}  // namespace pcap
