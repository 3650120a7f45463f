#include "nat/port_nat_table.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace nat {
namespace {

// Creations between two idle sweeps: the sweep walks every entry, so it runs on every 11th
// creation rather than on every packet.
constexpr std::uint32_t creations_per_sweep = 10;

bool is_stale(const port_nat_entry& entry, std::int64_t now) noexcept
{
    return now - entry.last_activity.load(std::memory_order_relaxed) > nat_idle_timeout_seconds;
}

flow_key flow_of(const port_nat_entry& e) noexcept
{
    return {e.client_address, e.remote_address, e.client_port, e.remote_port};
}

}  // namespace

port_nat_table::port_nat_table(std::shared_ptr<const nat_clock> clock)
    : port_nat_table(std::move(clock), first_external_port, last_external_port)
{
}

port_nat_table::port_nat_table(std::shared_ptr<const nat_clock> clock, std::uint16_t first_port,
                               std::uint16_t last_port)
    : clock_(std::move(clock)),
      index_(first_port, last_port),
      max_entries_per_client_(default_client_share(first_port, last_port))
{
}

std::uint32_t port_nat_table::max_entries_per_client() const
{
    std::lock_guard guard(lock_);
    return max_entries_per_client_;
}

void port_nat_table::set_max_entries_per_client(std::uint32_t entries)
{
    std::lock_guard guard(lock_);
    max_entries_per_client_ = std::max<std::uint32_t>(entries, 1);
}

const port_nat_table::entry_ptr* port_nat_table::find_outgoing_locked(const flow_key& flow) const
{
    return by_flow_.find(flow);
}

std::shared_ptr<const port_nat_entry> port_nat_table::find_outgoing(net::ip_address_v4 client_address,
                                                                    std::uint16_t client_port,
                                                                    net::ip_address_v4 remote_address,
                                                                    std::uint16_t remote_port)
{
    const std::int64_t now = clock_->now_seconds();
    std::lock_guard guard(lock_);
    const entry_ptr* entry = find_outgoing_locked({client_address, remote_address, client_port, remote_port});
    if (entry == nullptr)
        return nullptr;
    touch_locked(**entry, now);
    return *entry;
}

std::shared_ptr<const port_nat_entry> port_nat_table::find_incoming(std::uint16_t external_port,
                                                                    net::ip_address_v4 remote_address,
                                                                    std::uint16_t remote_port) const
{
    std::lock_guard guard(lock_);
    const entry_ptr* entry = index_.find_reply(external_port, {remote_address, remote_port});
    return entry == nullptr ? nullptr : *entry;
}

std::shared_ptr<const port_nat_entry> port_nat_table::find_or_create(net::ip_address_v4 client_address,
                                                                     std::uint16_t client_port,
                                                                     net::ip_address_v4 remote_address,
                                                                     std::uint16_t remote_port)
{
    const std::int64_t now = clock_->now_seconds();
    const flow_key flow{client_address, remote_address, client_port, remote_port};
    const net::endpoint_key remote{remote_address, remote_port};
    std::lock_guard guard(lock_);

    if (const entry_ptr* entry = find_outgoing_locked(flow)) {
        touch_locked(**entry, now);
        (*entry)->external_address.store(external_address_.load());
        return *entry;
    }

    if (++creations_since_sweep_ > creations_per_sweep) {
        creations_since_sweep_ = 0;
        sweep_stale_locked(now);
    }
    make_room_for_client_locked(client_address);

    const auto port =
        index_.choose_external(remote, [&](std::uint16_t p) { return evict_first_stale_locked(p, now); });
    if (!port)
        return nullptr;
    auto entry = std::make_shared<port_nat_entry>(client_address, client_port, remote_address, remote_port,
                                                  external_address_.load(), *port, now);
    by_flow_.insert(flow, entry);
    entry->idle_position_ = idle_order_.emplace_hint(idle_order_.end(), now, entry.get());
    index_.insert(entry);
    return entry;
}

void port_nat_table::make_room_for_client_locked(net::ip_address_v4 client_address)
{
    // A loop, not one eviction: a lowered share brings the client down to it here.
    while (index_.client_count(client_address) >= max_entries_per_client_) {
        port_nat_entry* oldest = index_.least_recent_of_client(client_address);
        if (oldest == nullptr)
            return;
        remove_locked(*oldest);
    }
}

bool port_nat_table::evict_first_stale_locked(std::uint16_t external_port, std::int64_t now)
{
    for (port_nat_entry* e = index_.first_under(external_port); e != nullptr; e = index_.next_under(*e)) {
        if (is_stale(*e, now)) {
            remove_locked(*e);
            return true;
        }
    }
    return false;
}

void port_nat_table::sweep_stale_locked(std::int64_t now)
{
    // Removes every entry stale at `now` and nothing else, as walking all entries would, but
    // touches only the stale ones: they are the oldest in the idle order.
    const auto start = std::chrono::steady_clock::now();
    while (!idle_order_.empty() && is_stale(*idle_order_.begin()->second, now))
        remove_locked(*idle_order_.begin()->second);
    const auto held = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    const auto held_ns = static_cast<std::uint64_t>(held.count());
    if (held_ns > longest_sweep_ns_.load(std::memory_order_relaxed))
        longest_sweep_ns_.store(held_ns, std::memory_order_relaxed);
}

void port_nat_table::touch_locked(port_nat_entry& entry, std::int64_t now)
{
    if (entry.last_activity.load(std::memory_order_relaxed) == now)
        return;  // most packets of a flow arrive within the same second
    entry.last_activity.store(now, std::memory_order_relaxed);
    // Re-keyed without allocating; normally lands at the end (the clock moves forward).
    auto node = idle_order_.extract(entry.idle_position_);
    node.key() = now;
    entry.idle_position_ = idle_order_.insert(idle_order_.end(), std::move(node));
    index_.note_client_activity(entry);
}

void port_nat_table::remove_locked(port_nat_entry& entry)
{
    const entry_ptr owned = index_.remove(entry);  // keeps `entry` alive to the end of this call
    by_flow_.erase(flow_of(entry));
    idle_order_.erase(entry.idle_position_);
}

void port_nat_table::clear()
{
    std::lock_guard guard(lock_);
    by_flow_.clear();
    idle_order_.clear();
    index_.clear();
}

std::size_t port_nat_table::size() const
{
    std::lock_guard guard(lock_);
    return index_.size();
}

std::vector<std::shared_ptr<const port_nat_entry>> port_nat_table::entries() const
{
    std::lock_guard guard(lock_);
    std::vector<std::shared_ptr<const port_nat_entry>> all;
    all.reserve(index_.size());
    index_.for_each_in_external_order([&](const entry_ptr& e) { all.push_back(e); });
    return all;
}

bool port_nat_table::indexes_consistent() const
{
    std::lock_guard guard(lock_);
    bool ok = index_.consistent() && by_flow_.size() == index_.size() && idle_order_.size() == index_.size();
    by_flow_.for_each([&](const flow_key& flow, const entry_ptr& entry) {
        const entry_ptr* owner = index_.find_reply(entry->external_port, {entry->remote_address, entry->remote_port});
        ok = ok && flow == flow_of(*entry) && owner != nullptr && *owner == entry;
    });
    for (auto it = idle_order_.begin(); ok && it != idle_order_.end(); ++it)
        ok = it->second->idle_position_ == it && it->first == it->second->last_activity.load();
    return ok;
}

}  // namespace nat
