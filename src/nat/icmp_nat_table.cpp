#include "nat/icmp_nat_table.h"

#include <algorithm>
#include <utility>

namespace nat {
namespace {

bool is_stale(const icmp_nat_entry& entry, std::int64_t now) noexcept
{
    return now - entry.last_activity > nat_idle_timeout_seconds;
}

}  // namespace

icmp_nat_table::icmp_nat_table(std::shared_ptr<const nat_clock> clock)
    : icmp_nat_table(std::move(clock), first_external_id, last_external_id)
{
}

icmp_nat_table::icmp_nat_table(std::shared_ptr<const nat_clock> clock, std::uint16_t first_id, std::uint16_t last_id)
    : clock_(std::move(clock)),
      index_(first_id, last_id),
      max_entries_per_client_(default_client_share(first_id, last_id))
{
}

std::uint32_t icmp_nat_table::max_entries_per_client() const
{
    std::lock_guard guard(lock_);
    return max_entries_per_client_;
}

void icmp_nat_table::set_max_entries_per_client(std::uint32_t entries)
{
    std::lock_guard guard(lock_);
    max_entries_per_client_ = std::max<std::uint32_t>(entries, 1);
}

std::shared_ptr<const icmp_nat_entry> icmp_nat_table::create_mapping(net::ip_address_v4 client_address,
                                                                     net::ip_address_v4 remote_address,
                                                                     std::uint16_t client_id)
{
    const std::int64_t now = clock_->now_seconds();
    std::lock_guard guard(lock_);
    // No idle sweep here: stale entries are reclaimed by the search and by clear(), and a
    // client at its share gives up its oldest entry.
    make_room_for_client_locked(client_address);
    const auto id =
        index_.choose_external({remote_address, 0}, [&](std::uint16_t i) { return evict_first_stale_locked(i, now); });
    if (!id)
        return nullptr;
    auto entry =
        std::make_shared<icmp_nat_entry>(client_address, remote_address, external_address_.load(), client_id, *id, now);
    index_.insert(entry);
    return entry;
}

std::shared_ptr<const icmp_nat_entry> icmp_nat_table::find_reply(std::uint16_t external_id,
                                                                 net::ip_address_v4 remote_address) const
{
    std::lock_guard guard(lock_);
    const entry_ptr* entry = index_.find_reply(external_id, {remote_address, 0});
    return entry == nullptr ? nullptr : *entry;
}

void icmp_nat_table::make_room_for_client_locked(net::ip_address_v4 client_address)
{
    // Entries are never refreshed: the client's first is its oldest.
    while (index_.client_count(client_address) >= max_entries_per_client_) {
        icmp_nat_entry* oldest = index_.least_recent_of_client(client_address);
        if (oldest == nullptr)
            return;
        index_.remove(*oldest);
    }
}

bool icmp_nat_table::evict_first_stale_locked(std::uint16_t external_id, std::int64_t now)
{
    for (icmp_nat_entry* e = index_.first_under(external_id); e != nullptr; e = index_.next_under(*e)) {
        if (is_stale(*e, now)) {
            index_.remove(*e);
            return true;
        }
    }
    return false;
}

void icmp_nat_table::clear()
{
    std::lock_guard guard(lock_);
    index_.clear();
}

std::size_t icmp_nat_table::size() const
{
    std::lock_guard guard(lock_);
    return index_.size();
}

std::vector<std::shared_ptr<const icmp_nat_entry>> icmp_nat_table::entries() const
{
    std::lock_guard guard(lock_);
    std::vector<std::shared_ptr<const icmp_nat_entry>> all;
    all.reserve(index_.size());
    index_.for_each_in_external_order([&](const entry_ptr& e) { all.push_back(e); });
    return all;
}

bool icmp_nat_table::indexes_consistent() const
{
    std::lock_guard guard(lock_);
    return index_.consistent();
}

}  // namespace nat
