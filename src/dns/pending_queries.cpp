#include "dns/pending_queries.h"

#include <algorithm>

#include "platform/random_bytes.h"

namespace dns {

namespace {

// Enough draws that a table at its limit (4096 of 65,536 ids held) practically never runs
// out; each draw misses with probability held/65,536.
constexpr int id_draws = 32;

std::size_t index_of(server_family family) { return static_cast<std::size_t>(family); }

}  // namespace

bool pending_query::stop_awaiting(server_family family, std::uint32_t server)
{
    auto& servers = awaiting[index_of(family)];
    const auto it = std::find(servers.begin(), servers.end(), server);
    if (it == servers.end())
        return false;
    servers.erase(it);
    return true;
}

pending_queries::pending_queries(pending_limits limits, dns_clock clock, random_source random)
    : limits_(limits), clock_(std::move(clock)), random_(random ? std::move(random) : random_source(&platform::fill_random))
{
}

pending_query* pending_queries::add(std::uint64_t adapter_handle, const tarnwell::INTERMEDIATE_BUFFER& buffer,
                                    const message_span& message, std::uint32_t client_address, refusal& why)
{
    expire();
    why = refusal::none;
    if (queries_.size() >= limits_.max_queries) {
        why = refusal::table_full;
        return nullptr;
    }
    std::size_t& of_client = per_client_[client_address];
    if (of_client >= limits_.max_queries_per_client) {
        why = refusal::client_full;
        return nullptr;
    }
    pending_query& query = queries_.emplace_back();
    query.adapter_handle = adapter_handle;
    query.buffer = buffer;
    query.message = message;
    query.client_id = static_cast<std::uint16_t>((buffer.frame[message.offset] << 8) | buffer.frame[message.offset + 1]);
    query.client_address = client_address;
    query.expires = clock_() + limits_.timeout;
    ++of_client;
    return &query;
}

bool pending_queries::next_random_id(std::uint16_t& id)
{
    if (random_used_ == random_ids_.size()) {
        if (!random_(random_ids_.data(), sizeof random_ids_))
            return false;
        random_used_ = 0;
    }
    id = random_ids_[random_used_++];
    return true;
}

bool pending_queries::assign_id(pending_query& query, server_family family)
{
    auto& ids = by_id_[index_of(family)];
    // The query is the last one added or already in the list: find its position once.
    auto self = std::find_if(queries_.rbegin(), queries_.rend(), [&](const pending_query& q) { return &q == &query; });
    if (self == queries_.rend())
        return false;
    for (int draw = 0; draw < id_draws; ++draw) {
        std::uint16_t id = 0;
        if (!next_random_id(id))
            return false;
        if (ids.count(id) != 0)
            continue;
        if (query.has_id[index_of(family)])
            ids.erase(query.ids[index_of(family)]);
        ids.emplace(id, std::prev(self.base()));
        query.ids[index_of(family)] = id;
        query.has_id[index_of(family)] = true;
        return true;
    }
    return false;
}

pending_query* pending_queries::find(server_family family, std::uint16_t id)
{
    auto& ids = by_id_[index_of(family)];
    const auto it = ids.find(id);
    return it == ids.end() ? nullptr : &*it->second;
}

void pending_queries::forget(query_list::iterator it)
{
    for (std::size_t f = 0; f < family_count; ++f) {
        if (it->has_id[f])
            by_id_[f].erase(it->ids[f]);
    }
    const auto client = per_client_.find(it->client_address);
    if (client != per_client_.end() && --client->second == 0)
        per_client_.erase(client);
    queries_.erase(it);
}

void pending_queries::remove(pending_query* query)
{
    if (!query)
        return;
    // Through its id when it has one (constant time); a query without ids is the newest.
    for (std::size_t f = 0; f < family_count; ++f) {
        if (query->has_id[f]) {
            forget(by_id_[f].at(query->ids[f]));
            return;
        }
    }
    auto self = std::find_if(queries_.rbegin(), queries_.rend(), [&](const pending_query& q) { return &q == query; });
    if (self != queries_.rend())
        forget(std::prev(self.base()));
}

std::size_t pending_queries::expire()
{
    const auto now = clock_();
    std::size_t dropped = 0;
    while (!queries_.empty() && queries_.front().expires <= now) {
        forget(queries_.begin());
        ++dropped;
    }
    return dropped;
}

void pending_queries::clear()
{
    queries_.clear();
    for (auto& ids : by_id_)
        ids.clear();
    per_client_.clear();
}

}  // namespace dns
