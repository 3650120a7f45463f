#pragma once
// How many table entries use each external port (or ICMP identifier) of a range, with the
// question the allocation asks answered in O(log n): "the lowest port at or above `from` used by
// fewer than `limit` entries". A minimum tree over the per-port counts; leaves past the end of
// the range hold the maximum so that they never answer.
//
// Owned by one table and guarded by its lock.

#include <cstdint>
#include <optional>
#include <vector>

namespace nat {

class port_usage_index {
public:
    // Covers the ports first..last inclusive; every count starts at 0.
    port_usage_index(std::uint16_t first, std::uint16_t last);

    std::uint32_t count(std::uint16_t port) const noexcept { return tree_[leaf(port)]; }
    void increment(std::uint16_t port) noexcept { update(port, count(port) + 1); }
    void decrement(std::uint16_t port) noexcept { update(port, count(port) - 1); }
    void reset() noexcept;

    // The lowest port p with from <= p <= last and count(p) < limit.
    std::optional<std::uint16_t> first_below(std::uint32_t from, std::uint32_t limit) const noexcept;

    std::uint16_t first() const noexcept { return first_; }
    std::uint16_t last() const noexcept { return last_; }

private:
    std::size_t leaf(std::uint16_t port) const noexcept { return leaves_ + (port - first_); }
    void update(std::uint16_t port, std::uint32_t value) noexcept;

    std::uint16_t first_;
    std::uint16_t last_;
    std::size_t leaves_;               // power of two >= the number of ports
    std::vector<std::uint32_t> tree_;  // tree_[1] is the root; node i has children 2i and 2i+1
};

}  // namespace nat
