#include "nat/icmp_nat_table.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "nat/least_used_search.h"
#include "nat/table_index_checks.h"

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
    : clock_(std::move(clock)), usage_(first_id, last_id)
{
}

std::shared_ptr<const icmp_nat_entry> icmp_nat_table::create_mapping(net::ip_address_v4 client_address,
                                                                     net::ip_address_v4 remote_address,
                                                                     std::uint16_t client_id)
{
    const std::int64_t now = clock_->now_seconds();
    std::lock_guard guard(lock_);
    // No idle sweep here: stale entries are reclaimed only by the search itself and by clear().
    const auto id = choose_id_locked(remote_address, now);
    if (!id)
        return nullptr;
    auto entry =
        std::make_shared<icmp_nat_entry>(client_address, remote_address, external_address_.load(), client_id, *id, now);
    by_external_id_.append(*id, entry);
    by_client_address_.append(client_address, entry);
    usage_.increment(*id);
    return entry;
}

std::shared_ptr<const icmp_nat_entry> icmp_nat_table::find_reply(std::uint16_t external_id,
                                                                 net::ip_address_v4 remote_address) const
{
    std::lock_guard guard(lock_);
    const auto* list = by_external_id_.find(external_id);
    if (list == nullptr)
        return nullptr;
    for (const entry_ptr& entry : *list) {
        if (entry->remote_address == remote_address)
            return entry;
    }
    return nullptr;
}

std::optional<std::uint16_t> icmp_nat_table::choose_id_locked(net::ip_address_v4 remote_address, std::int64_t now)
{
    const std::uint16_t id =
        least_used_search(usage_, [&](std::uint16_t i) { return evict_first_stale_locked(i, now); });
    if (!id_serves_remote_locked(id, remote_address))
        return id;

    // Every identifier is in use and the least-shared one already carries a message to this
    // remote: its replies would all go to the older entry's client. Share the least-shared
    // identifier that does not.
    std::optional<std::uint16_t> chosen;
    std::uint32_t chosen_count = std::numeric_limits<std::uint32_t>::max();
    for (std::uint32_t i = usage_.first(); i <= usage_.last(); ++i) {
        const auto candidate = static_cast<std::uint16_t>(i);
        const std::uint32_t count = usage_.count(candidate);
        if (count < chosen_count && !id_serves_remote_locked(candidate, remote_address)) {
            chosen = candidate;
            chosen_count = count;
        }
    }
    return chosen;
}

bool icmp_nat_table::id_serves_remote_locked(std::uint16_t external_id, net::ip_address_v4 remote_address) const
{
    const auto* list = by_external_id_.find(external_id);
    if (list == nullptr)
        return false;
    return std::any_of(list->begin(), list->end(),
                       [&](const entry_ptr& e) { return e->remote_address == remote_address; });
}

bool icmp_nat_table::evict_first_stale_locked(std::uint16_t external_id, std::int64_t now)
{
    const auto* list = by_external_id_.find(external_id);
    if (list == nullptr)
        return false;
    const auto stale = std::find_if(list->begin(), list->end(), [&](const entry_ptr& e) { return is_stale(*e, now); });
    if (stale == list->end())
        return false;
    const entry_ptr victim = *stale;  // the list changes under remove_locked
    remove_locked(victim);
    return true;
}

void icmp_nat_table::remove_locked(const entry_ptr& entry)
{
    by_client_address_.erase_value(entry->client_address, entry);
    if (by_external_id_.erase_value(entry->external_id, entry))
        usage_.decrement(entry->external_id);
}

void icmp_nat_table::clear()
{
    std::lock_guard guard(lock_);
    by_external_id_.clear();
    by_client_address_.clear();
    usage_.reset();
}

std::size_t icmp_nat_table::size() const
{
    std::lock_guard guard(lock_);
    return by_external_id_.size();
}

std::vector<std::shared_ptr<const icmp_nat_entry>> icmp_nat_table::entries() const
{
    std::lock_guard guard(lock_);
    return entries_by_external_key(by_external_id_, &icmp_nat_entry::external_id);
}

bool icmp_nat_table::indexes_consistent() const
{
    std::lock_guard guard(lock_);
    return indexes_agree(by_client_address_, by_external_id_, &icmp_nat_entry::external_id,
                         [](const icmp_nat_entry& e) { return e.client_address; }, usage_);
}

}  // namespace nat
