#include "nat/fragment_tracker.h"

#include <chrono>

#include "platform/random_bytes.h"

namespace nat {
namespace {

std::uint64_t draw_secret() noexcept
{
    std::uint64_t secret = 0;
    if (!platform::fill_random(&secret, sizeof secret)) {
        // Without the system's randomness the sets are merely less hidden, not wrong.
        secret = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return secret;
}

std::uint64_t mix(std::uint64_t value) noexcept
{
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ULL;
    value ^= value >> 33;
    return value;
}

}  // namespace

fragment_tracker::fragment_tracker() : fragment_tracker(draw_secret()) {}

fragment_tracker::fragment_tracker(std::uint64_t secret)
    : secret_(secret), records_(std::make_unique<record[]>(capacity))
{
}

fragment_tracker::record* fragment_tracker::set_of(const fragment_key& key) const noexcept
{
    const std::uint64_t addresses = std::uint64_t{key.source.raw()} << 32 | key.destination.raw();
    const std::uint64_t rest = std::uint64_t{key.identification} << 8 | key.protocol;
    const std::uint64_t hash = mix(mix(addresses ^ secret_) ^ rest);
    return records_.get() + (hash & (set_count - 1)) * ways;
}

void fragment_tracker::remember(const fragment_key& key, net::ip_address_v4 translated,
                                std::int64_t now_ms) noexcept
{
    std::lock_guard lock(lock_);
    record* set = set_of(key);
    record* chosen = nullptr;
    for (std::size_t i = 0; i < ways; ++i) {
        record& r = set[i];
        if (r.used && r.key == key) {
            chosen = &r;  // the same datagram again (a repeated first fragment): renew
            break;
        }
        if (!live(r, now_ms)) {
            if (!chosen || live(*chosen, now_ms))
                chosen = &r;
        } else if (!chosen || (live(*chosen, now_ms) && r.sequence < chosen->sequence)) {
            chosen = &r;
        }
    }
    chosen->key = key;
    chosen->translated = translated;
    chosen->created_ms = now_ms;
    chosen->sequence = next_sequence_++;
    chosen->used = true;
}

std::optional<net::ip_address_v4> fragment_tracker::find(const fragment_key& key, std::int64_t now_ms) const noexcept
{
    std::lock_guard lock(lock_);
    const record* set = set_of(key);
    for (std::size_t i = 0; i < ways; ++i) {
        if (set[i].used && set[i].key == key)
            return live(set[i], now_ms) ? std::optional(set[i].translated) : std::nullopt;
    }
    return std::nullopt;
}

void fragment_tracker::clear() noexcept
{
    std::lock_guard lock(lock_);
    for (std::size_t i = 0; i < capacity; ++i)
        records_[i] = record{};
    next_sequence_ = 1;
}

std::size_t fragment_tracker::size(std::int64_t now_ms) const noexcept
{
    std::lock_guard lock(lock_);
    std::size_t count = 0;
    for (std::size_t i = 0; i < capacity; ++i)
        count += live(records_[i], now_ms) ? 1 : 0;
    return count;
}

}  // namespace nat
