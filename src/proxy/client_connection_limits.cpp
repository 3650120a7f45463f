#include "proxy/client_connection_limits.h"

namespace proxy {

client_connection_limits::refusal client_connection_limits::admit(net::ip_address_v4 client, client_slot& slot)
{
    std::lock_guard lock(mutex_);
    counts& c = clients_[client.raw()];
    refusal why = refusal::none;
    if (c.pending >= limits_.pending_connects_per_client)
        why = refusal::pending_connects;
    else if (c.relayed >= limits_.connections_per_client)
        why = refusal::connections;
    if (why != refusal::none) {
        if (c.pending == 0 && c.relayed == 0)
            clients_.erase(client.raw());  // a limit of 0: nothing to remember
        return why;
    }
    ++c.pending;
    slot.client = client;
    slot.counted_as = client_slot::state::pending;
    return refusal::none;
}

void client_connection_limits::connect_finished(client_slot& slot, bool connected)
{
    std::lock_guard lock(mutex_);
    if (slot.counted_as != client_slot::state::pending)
        return;
    if (!connected) {
        give_back_locked(slot);
        return;
    }
    counts& c = clients_[slot.client.raw()];
    --c.pending;
    ++c.relayed;
    slot.counted_as = client_slot::state::relayed;
}

void client_connection_limits::release(client_slot& slot)
{
    std::lock_guard lock(mutex_);
    give_back_locked(slot);
}

void client_connection_limits::give_back_locked(client_slot& slot)
{
    if (slot.counted_as == client_slot::state::none)
        return;
    const auto it = clients_.find(slot.client.raw());
    if (it != clients_.end()) {
        counts& c = it->second;
        if (slot.counted_as == client_slot::state::pending)
            --c.pending;
        else
            --c.relayed;
        if (c.pending == 0 && c.relayed == 0)
            clients_.erase(it);
    }
    slot.counted_as = client_slot::state::none;
}

void client_connection_limits::clear()
{
    std::lock_guard lock(mutex_);
    clients_.clear();
}

client_connection_limits::counts client_connection_limits::of(net::ip_address_v4 client)
{
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(client.raw());
    return it == clients_.end() ? counts{} : it->second;
}

}  // namespace proxy
