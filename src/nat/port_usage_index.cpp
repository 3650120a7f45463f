#include "nat/port_usage_index.h"

#include <algorithm>
#include <limits>

namespace nat {
namespace {
constexpr std::uint32_t unusable = std::numeric_limits<std::uint32_t>::max();
}

port_usage_index::port_usage_index(std::uint16_t first, std::uint16_t last)
    : first_(first), last_(std::max(first, last)), leaves_(1)
{
    const std::size_t ports = std::size_t{last_} - first_ + 1;
    while (leaves_ < ports)
        leaves_ *= 2;
    tree_.assign(2 * leaves_, unusable);
    reset();
}

void port_usage_index::reset() noexcept
{
    const std::size_t ports = std::size_t{last_} - first_ + 1;
    std::fill(tree_.begin() + static_cast<std::ptrdiff_t>(leaves_),
              tree_.begin() + static_cast<std::ptrdiff_t>(leaves_ + ports), 0u);
    std::fill(tree_.begin() + static_cast<std::ptrdiff_t>(leaves_ + ports), tree_.end(), unusable);
    for (std::size_t i = leaves_ - 1; i >= 1; --i)
        tree_[i] = std::min(tree_[2 * i], tree_[2 * i + 1]);
}

void port_usage_index::update(std::uint16_t port, std::uint32_t value) noexcept
{
    std::size_t i = leaf(port);
    tree_[i] = value;
    for (i /= 2; i >= 1; i /= 2) {
        const std::uint32_t m = std::min(tree_[2 * i], tree_[2 * i + 1]);
        if (tree_[i] == m)
            break;  // ancestors already hold the right minimum
        tree_[i] = m;
    }
}

std::optional<std::uint16_t> port_usage_index::first_below(std::uint32_t from, std::uint32_t limit) const noexcept
{
    if (from < first_ || from > last_)
        return std::nullopt;
    // Walk up from the leaf of `from`: at each left child, look at its right sibling's subtree,
    // which holds only ports above the path. The first subtree whose minimum is below the limit
    // contains the answer; descend into it, preferring the left child.
    std::size_t i = leaves_ + (from - first_);
    if (tree_[i] < limit)
        return static_cast<std::uint16_t>(from);
    while (i > 1) {
        if (i % 2 == 0 && tree_[i + 1] < limit) {
            i = i + 1;
            while (i < leaves_)
                i = tree_[2 * i] < limit ? 2 * i : 2 * i + 1;
            return static_cast<std::uint16_t>(first_ + (i - leaves_));
        }
        i /= 2;
    }
    return std::nullopt;
}

}  // namespace nat
