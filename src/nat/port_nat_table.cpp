#include "nat/port_nat_table.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "nat/least_used_search.h"
#include "nat/table_index_checks.h"

namespace nat {
namespace {

// Creations between two idle sweeps: the sweep walks every entry, so it runs on every 11th
// creation rather than on every packet.
constexpr std::uint32_t creations_per_sweep = 10;

bool is_stale(const port_nat_entry& entry, std::int64_t now) noexcept
{
    return now - entry.last_activity.load(std::memory_order_relaxed) > nat_idle_timeout_seconds;
}

}  // namespace

port_nat_table::port_nat_table(std::shared_ptr<const nat_clock> clock)
    : port_nat_table(std::move(clock), first_external_port, last_external_port)
{
}

port_nat_table::port_nat_table(std::shared_ptr<const nat_clock> clock, std::uint16_t first_port,
                               std::uint16_t last_port)
    : clock_(std::move(clock)), usage_(first_port, last_port)
{
}

port_nat_table::entry_ptr port_nat_table::find_outgoing_locked(const net::endpoint_key& client,
                                                               net::ip_address_v4 remote_address,
                                                               std::uint16_t remote_port) const
{
    const auto* list = by_client_.find(client);
    if (list == nullptr)
        return nullptr;
    for (const entry_ptr& entry : *list) {
        if (entry->remote_address == remote_address && entry->remote_port == remote_port)
            return entry;
    }
    return nullptr;
}

std::shared_ptr<const port_nat_entry> port_nat_table::find_outgoing(net::ip_address_v4 client_address,
                                                                    std::uint16_t client_port,
                                                                    net::ip_address_v4 remote_address,
                                                                    std::uint16_t remote_port)
{
    const std::int64_t now = clock_->now_seconds();
    std::lock_guard guard(lock_);
    entry_ptr entry = find_outgoing_locked({client_address, client_port}, remote_address, remote_port);
    if (entry)
        touch_locked(*entry, now);
    return entry;
}

std::shared_ptr<const port_nat_entry> port_nat_table::find_incoming(std::uint16_t external_port,
                                                                    net::ip_address_v4 remote_address,
                                                                    std::uint16_t remote_port) const
{
    std::lock_guard guard(lock_);
    const auto* list = by_external_port_.find(external_port);
    if (list == nullptr)
        return nullptr;
    for (const entry_ptr& entry : *list) {
        if (entry->remote_address == remote_address && entry->remote_port == remote_port)
            return entry;
    }
    return nullptr;
}

std::shared_ptr<const port_nat_entry> port_nat_table::find_or_create(net::ip_address_v4 client_address,
                                                                     std::uint16_t client_port,
                                                                     net::ip_address_v4 remote_address,
                                                                     std::uint16_t remote_port)
{
    const std::int64_t now = clock_->now_seconds();
    const net::endpoint_key client{client_address, client_port};
    std::lock_guard guard(lock_);

    if (entry_ptr entry = find_outgoing_locked(client, remote_address, remote_port)) {
        touch_locked(*entry, now);
        entry->external_address.store(external_address_.load());
        return entry;
    }

    if (++creations_since_sweep_ > creations_per_sweep) {
        creations_since_sweep_ = 0;
        sweep_stale_locked(now);
    }

    const auto port = choose_port_locked(remote_address, remote_port, now);
    if (!port)
        return nullptr;
    auto entry = std::make_shared<port_nat_entry>(client_address, client_port, remote_address, remote_port,
                                                  external_address_.load(), *port, now);
    by_external_port_.append(*port, entry);
    by_client_.append(client, entry);
    usage_.increment(*port);
    entry->idle_position_ = idle_order_.emplace_hint(idle_order_.end(), now, entry.get());
    return entry;
}

std::optional<std::uint16_t> port_nat_table::choose_port_locked(net::ip_address_v4 remote_address,
                                                                std::uint16_t remote_port, std::int64_t now)
{
    const std::uint16_t port =
        least_used_search(usage_, [&](std::uint16_t p) { return evict_first_stale_locked(p, now); });
    if (!port_serves_remote_locked(port, remote_address, remote_port))
        return port;

    // Every port is in use and the least-shared one already carries a flow to this remote
    // endpoint: replies to both flows would arrive with the same port and source, and all of
    // them would go to the older flow's client. Share the least-shared port that does not.
    std::optional<std::uint16_t> chosen;
    std::uint32_t chosen_count = std::numeric_limits<std::uint32_t>::max();
    for (std::uint32_t p = usage_.first(); p <= usage_.last(); ++p) {
        const auto candidate = static_cast<std::uint16_t>(p);
        const std::uint32_t count = usage_.count(candidate);
        if (count < chosen_count && !port_serves_remote_locked(candidate, remote_address, remote_port)) {
            chosen = candidate;
            chosen_count = count;
        }
    }
    return chosen;
}

bool port_nat_table::port_serves_remote_locked(std::uint16_t external_port, net::ip_address_v4 remote_address,
                                               std::uint16_t remote_port) const
{
    const auto* list = by_external_port_.find(external_port);
    if (list == nullptr)
        return false;
    return std::any_of(list->begin(), list->end(), [&](const entry_ptr& e) {
        return e->remote_address == remote_address && e->remote_port == remote_port;
    });
}

bool port_nat_table::evict_first_stale_locked(std::uint16_t external_port, std::int64_t now)
{
    const auto* list = by_external_port_.find(external_port);
    if (list == nullptr)
        return false;
    const auto stale = std::find_if(list->begin(), list->end(), [&](const entry_ptr& e) { return is_stale(*e, now); });
    if (stale == list->end())
        return false;
    const entry_ptr victim = *stale;  // the list changes under remove_locked
    remove_locked(victim);
    return true;
}

void port_nat_table::sweep_stale_locked(std::int64_t now)
{
    // Removes every entry stale at `now` and nothing else, as walking all entries would, but
    // touches only the stale ones: they are the oldest in the idle order.
    while (!idle_order_.empty() && is_stale(*idle_order_.begin()->second, now)) {
        port_nat_entry* oldest = idle_order_.begin()->second;
        const auto* list = by_external_port_.find(oldest->external_port);
        const auto owner = std::find_if(list->begin(), list->end(),
                                        [&](const entry_ptr& e) { return e.get() == oldest; });
        remove_locked(entry_ptr(*owner));  // a copy: the list changes under remove_locked
    }
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
}

void port_nat_table::remove_locked(const entry_ptr& entry)
{
    // By identity: several entries may sit under the same client endpoint or port.
    by_client_.erase_value({entry->client_address, entry->client_port}, entry);
    if (by_external_port_.erase_value(entry->external_port, entry)) {
        usage_.decrement(entry->external_port);
        idle_order_.erase(entry->idle_position_);
    }
}

void port_nat_table::clear()
{
    std::lock_guard guard(lock_);
    by_external_port_.clear();
    by_client_.clear();
    usage_.reset();
    idle_order_.clear();
}

std::size_t port_nat_table::size() const
{
    std::lock_guard guard(lock_);
    return by_external_port_.size();
}

std::vector<std::shared_ptr<const port_nat_entry>> port_nat_table::entries() const
{
    std::lock_guard guard(lock_);
    return entries_by_external_key(by_external_port_, &port_nat_entry::external_port);
}

bool port_nat_table::indexes_consistent() const
{
    std::lock_guard guard(lock_);
    const bool agree = indexes_agree(
        by_client_, by_external_port_, &port_nat_entry::external_port,
        [](const port_nat_entry& e) { return net::endpoint_key{e.client_address, e.client_port}; }, usage_);
    return agree && idle_order_.size() == by_external_port_.size();
}

}  // namespace nat
