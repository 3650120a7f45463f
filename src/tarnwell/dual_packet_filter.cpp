#include "tarnwell/dual_packet_filter.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <mutex>
#include <new>
#include <utility>

#include "tarnwell/adapter_entries.h"
#include "tarnwell/packet_callback_guard.h"

namespace tarnwell {

dual_packet_filter::slot_record::slot_record()
    : buffers(std::make_unique<INTERMEDIATE_BUFFER[]>(MAXIMUM_PACKET_BLOCK))
{
}

dual_packet_filter::dual_packet_filter()
{
    open();
}

dual_packet_filter::dual_packet_filter(std::unique_ptr<platform::control_device> device)
    : CTarnwell(std::move(device))
{
    open();
}

void dual_packet_filter::open()
{
    AttachListChangeEvent(list_change_.native_handle());
    build_adapters();
    watcher_ = std::thread([this] { watch(); });
}

dual_packet_filter::~dual_packet_filter()
{
    exit_.store(true);
    list_change_.set();
    stop_filter(0);
    stop_filter(1);
    if (watcher_.joinable())
        watcher_.join();
}

void dual_packet_filter::build_adapters()
{
    std::vector<adapter_entry> entries;
    query_adapter_entries(*this, entries);
    adapters_.clear();
    for (adapter_entry& e : entries)
        adapters_.push_back(std::make_shared<network_adapter>(
            *this, e.handle, e.mac.data(), std::move(e.internal_name),
            std::move(e.friendly_name), e.medium, e.mtu));
}

bool dual_packet_filter::set_callbacks(std::size_t slot, packet_callback outgoing,
                                       packet_callback incoming)
{
    if (slot >= slot_count)
        return false;
    std::unique_lock lock(lock_);
    slot_record& s = slots_[slot];
    if (s.state.load() != filter_state::stopped)
        return false;
    s.outgoing = std::move(outgoing);
    s.incoming = std::move(incoming);
    return true;
}

bool dual_packet_filter::start_filter(std::uint64_t adapter_handle, std::size_t slot)
{
    if (slot >= slot_count)
        return false;
    std::unique_lock lock(lock_);
    slot_record& s = slots_[slot];
    if (s.state.load() == filter_state::running)
        return true;

    auto found = std::find_if(adapters_.begin(), adapters_.end(), [&](const auto& a) {
        return a->adapter_handle() == adapter_handle;
    });
    // The handle is recorded only for a slot that runs: a slot left with the handle of a
    // failed start would later be reported as removed by the watcher.
    if (adapter_handle == 0 || found == adapters_.end())
        return false;
    std::shared_ptr<network_adapter> adapter = *found;

    std::memset(s.buffers.get(), 0, sizeof(INTERMEDIATE_BUFFER) * MAXIMUM_PACKET_BLOCK);
    s.read.prepare_read(adapter_handle, s.buffers.get(), MAXIMUM_PACKET_BLOCK);
    s.to_adapter.prepare_empty(adapter_handle);
    s.to_stack.prepare_empty(adapter_handle);
    s.partner_adapter.prepare_empty(0);
    s.partner_stack.prepare_empty(0);

    if (!AttachPacketEvent(adapter_handle, adapter->packet_event().native_handle()))
        return false;
    adapter->set_mode(MODE_TUNNEL_SEND | MODE_TUNNEL_RECV);

    s.adapter = adapter;
    s.handle.store(adapter_handle);
    // Running before the thread exists: a thread that looked first would end at once.
    s.state.store(filter_state::running);
    try {
        s.worker = std::thread([this, slot, adapter] { run_slot(slot, adapter); });
    } catch (...) {
        s.state.store(filter_state::stopped);
        adapter->release();
        s.adapter.reset();
        s.handle.store(0);
        throw;
    }
    return true;
}

bool dual_packet_filter::stop_filter(std::size_t slot)
{
    if (slot >= slot_count)
        return false;
    std::unique_lock lock(lock_);
    slot_record& s = slots_[slot];
    if (s.state.load() == filter_state::stopped)
        return true;
    s.state.store(filter_state::stopped);
    // The worker waits on this adapter's event, whether or not the vector still holds it.
    if (s.adapter)
        s.adapter->release();
    s.worker.join();
    s.adapter.reset();
    s.handle.store(0);
    return true;
}

bool dual_packet_filter::add_list_change_callback(std::function<void()> callback)
{
    std::unique_lock lock(lock_);
    try {
        list_change_callbacks_.push_back(std::move(callback));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

filter_state dual_packet_filter::slot_state(std::size_t slot) const
{
    return slot < slot_count ? slots_[slot].state.load() : filter_state::stopped;
}

std::uint64_t dual_packet_filter::slot_adapter(std::size_t slot) const
{
    return slot < slot_count ? slots_[slot].handle.load() : 0;
}

std::vector<std::shared_ptr<network_adapter>> dual_packet_filter::get_adapters() const
{
    std::shared_lock lock(lock_);
    return adapters_;
}

// Keeps adapters whose handle and names are unchanged (a slot's thread may hold them),
// replaces renamed ones, appends new ones and drops those no longer listed.
void dual_packet_filter::refresh_adapters()
{
    std::unique_lock lock(lock_);
    std::vector<adapter_entry> entries;
    if (!query_adapter_entries(*this, entries))
        return;
    for (adapter_entry& e : entries) {
        auto same = std::find_if(adapters_.begin(), adapters_.end(), [&](const auto& a) {
            return a->adapter_handle() == e.handle;
        });
        if (same != adapters_.end()) {
            if ((*same)->internal_name() == e.internal_name &&
                (*same)->friendly_name() == e.friendly_name)
                continue;
            adapters_.erase(same);
        }
        adapters_.push_back(std::make_shared<network_adapter>(
            *this, e.handle, e.mac.data(), std::move(e.internal_name),
            std::move(e.friendly_name), e.medium, e.mtu));
    }
    adapters_.erase(std::remove_if(adapters_.begin(), adapters_.end(),
                                   [&](const auto& a) {
                                       return std::none_of(
                                           entries.begin(), entries.end(),
                                           [&](const adapter_entry& e) {
                                               return e.handle == a->adapter_handle();
                                           });
                                   }),
                    adapters_.end());
}

void dual_packet_filter::announce_removed(std::uint64_t handle)
{
    std::string line;
    {
        std::shared_lock lock(lock_);
        auto found = std::find_if(adapters_.begin(), adapters_.end(), [&](const auto& a) {
            return a->adapter_handle() == handle;
        });
        if (found == adapters_.end())
            return;
        line = "[dual_packet_filter] : " + (*found)->friendly_name() +
               " : removed. Stopping filter!\n";
    }
    std::cout << line << std::flush;
}

// Any thread whose request found the driver gone: the watcher takes it from there.
void dual_packet_filter::on_driver_lost() { list_change_.set(); }

// Watcher thread, after the driver went away: once a new driver instance answers, the
// slots' handles and events (which named the old one) are dropped and the new instance is
// taken up as if its adapters had all just arrived. Until then nothing is asked of anyone:
// the slots' threads have ended by themselves.
bool dual_packet_filter::reconnect()
{
    if (!reopen())
        return false;
    stop_filter(0);
    stop_filter(1);
    AttachListChangeEvent(list_change_.native_handle());
    {
        std::unique_lock lock(lock_);
        build_adapters();
    }
    std::cout << "[dual_packet_filter] : the driver is back. Reconnected.\n" << std::flush;
    return true;
}

// Watcher thread: from construction to destruction.
void dual_packet_filter::watch()
{
    auto list = std::make_unique<ADAPTER_LIST>();
    while (!exit_.load()) {
        // While the driver is gone nothing signals the event: look for a new one now and
        // then instead.
        const std::uint32_t timeout = IsDriverLost() ? reconnect_period_ms : platform::wait_infinite;
        // A failed wait would fail again at once: end rather than spin.
        if (list_change_.wait(timeout) == platform::wait_result::failed)
            return;
        list_change_.reset();
        if (exit_.load())
            return;
        if (IsDriverLost() && !reconnect())
            continue;

        // Without an answer nothing is known to be gone: no slot is stopped on a guess.
        if (QueryAdapterList(*list)) {
            const std::uint32_t count =
                list->count < ADAPTER_LIST_SIZE ? list->count : ADAPTER_LIST_SIZE;
            const auto listed = [&](std::uint64_t handle) {
                for (std::uint32_t i = 0; i < count; ++i) {
                    if (list->handles[i] == handle)
                        return handle != 0;
                }
                return false;
            };
            const std::uint64_t handle0 = slots_[0].handle.load();
            const std::uint64_t handle1 = slots_[1].handle.load();
            const bool found0 = listed(handle0);
            const bool found1 = listed(handle1);

            if (handle0 != 0 && !found0) {
                announce_removed(handle0);
                stop_filter(0);
            }
            if (handle1 == 0) {
                if (!(found0 && found1))
                    refresh_adapters();
            } else if (!found1) {
                announce_removed(handle1);
                stop_filter(1);
                refresh_adapters();
            } else if (!found0) {
                refresh_adapters();
            }
        }

        std::shared_lock lock(lock_);
        for (const std::function<void()>& callback : list_change_callbacks_) {
            if (callback)
                callback();
        }
    }
}

// Working thread of one slot: drains the adapter's queue after each signal until a read
// finds it empty or comes back short. A short batch took everything queued at that moment;
// whatever the driver queued since has signalled the event again (it was reset before the
// first read), so going back to the wait loses nothing and saves a request that would
// only find the queue empty.
void dual_packet_filter::run_slot(std::size_t slot, std::shared_ptr<network_adapter> adapter)
{
    slot_record& me = slots_[slot];
    slot_record& partner = slots_[1 - slot];
    platform::event& event = adapter->packet_event();
    while (me.state.load() == filter_state::running) {
        // A failed wait would fail again at once: end rather than spin.
        if (event.wait(platform::wait_infinite) == platform::wait_result::failed)
            break;
        event.reset();
        while (me.state.load() == filter_state::running) {
            me.read.set_packets_done(0);
            if (!ReadPacketBatch(me.read.request()))
                break;
            const bool full = me.read.packets_done() == MAXIMUM_PACKET_BLOCK;
            process_batch(me, partner);
            if (!full)
                break;
        }
        // The driver is gone: nothing will ever arrive; stop_filter joins what is left.
        if (IsDriverLost())
            break;
    }
    // The posted sends still name this slot's buffers, which the next start clears.
    CompletePostedRequests();
}

void dual_packet_filter::process_batch(slot_record& me, slot_record& partner)
{
    const std::uint64_t handle = me.read.request().adapter_handle;
    const std::uint32_t done = me.read.packets_done();
    for (std::uint32_t i = 0; i < done; ++i) {
        INTERMEDIATE_BUFFER& buffer = me.buffers[i];
        const bool outgoing = buffer.direction == DIRECTION_OUTGOING;
        const packet_callback& callback = outgoing ? me.outgoing : me.incoming;
        const packet_action action =
            callback ? guarded_packet_callback(callback, handle, buffer, packet_action::drop, callback_failures_)
                     : packet_action::pass;
        switch (action) {
        case packet_action::pass:
            (outgoing ? me.to_adapter : me.to_stack).append(&buffer);
            break;
        case packet_action::revert:
            (outgoing ? me.to_stack : me.to_adapter).append(&buffer);
            break;
        case packet_action::route:
            (outgoing ? me.partner_adapter : me.partner_stack).append(&buffer);
            break;
        case packet_action::route_revert:
            (outgoing ? me.partner_stack : me.partner_adapter).append(&buffer);
            break;
        default:  // drop, and any value the enum does not name
            break;
        }
    }

    // Posted: the driver re-injects while this thread waits for the next signal, and the
    // next read into the same buffers is served only after these sends (one handle serves
    // its requests in order). The pages themselves travel with the requests.
    if (me.to_adapter.count() != 0)
        PostBatchToAdapter(me.to_adapter.request());
    if (me.to_stack.count() != 0)
        PostBatchToStack(me.to_stack.request());
    me.to_adapter.set_count(0);
    me.to_stack.set_count(0);

    // Packets for a partner that is not running are dropped.
    const bool partner_running = partner.state.load() == filter_state::running;
    const std::uint64_t partner_handle = partner.handle.load();
    if (me.partner_adapter.count() != 0 && partner_running) {
        me.partner_adapter.set_adapter(partner_handle);
        PostBatchToAdapter(me.partner_adapter.request());
    }
    if (me.partner_stack.count() != 0 && partner_running) {
        me.partner_stack.set_adapter(partner_handle);
        PostBatchToStack(me.partner_stack.request());
    }
    me.partner_adapter.set_count(0);
    me.partner_stack.set_count(0);
    me.read.set_packets_done(0);
}

}  // namespace tarnwell
