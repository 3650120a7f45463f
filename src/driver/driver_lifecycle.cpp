// Load/unload, adapter attach/restart/pause/detach, lookups, global events.
#include <cstring>
#include <new>

#include "driver/driver.h"

namespace corvflt {

namespace {
constexpr std::uint32_t DESCRIPTOR_POOL_SIZE = 1024;
constexpr std::uint32_t PAUSE_POLL_MS = 30;
}  // namespace

driver::driver(driver_host& host) : host_(host) {}

driver::~driver()
{
    if (loaded_)
        unload();
}

ntstatus driver::load(const driver_parameters& parameters)
{
    if (loaded_)
        return STATUS_UNSUCCESSFUL;
    if (!packet_pool_.init(host_))
        return STATUS_UNSUCCESSFUL;
    if (!descriptor_pool_.init(host_, DESCRIPTOR_POOL_SIZE)) {
        packet_pool_.destroy(host_);
        return STATUS_UNSUCCESSFUL;
    }
    parameters_ = parameters;
    loaded_ = true;
    return STATUS_SUCCESS;
}

void driver::unload()
{
    {
        exclusive_guard<spin_lock> guard(list_lock_);
        for (adapter_context* a = adapters_; a; a = a->next)
            a->control_references.fetch_add(1);
    }
    for (adapter_context* a = adapters_; a; a = a->next) {
        reset_queue(a);
        a->control_references.fetch_sub(1);
    }
    filter_table_.reset(host_);
    replace_global(&driver::wan_event_, nullptr);
    replace_global(&driver::list_change_event_, nullptr);
    for (shared_section& s : sections_) {
        if (s.mapping)
            host_.unmap_user_section(s.mapping, s.size);
        s = shared_section{};
    }
    sections_active_ = false;
    section_owned_ = false;
    descriptor_pool_.destroy(host_);
    packet_pool_.destroy(host_);
    loaded_ = false;
}

adapter_context* driver::attach(const adapter_description& description, ntstatus* status)
{
    void* memory = host_.allocate(sizeof(adapter_context));
    if (!memory) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    std::memset(memory, 0, sizeof(adapter_context));
    adapter_context* a = new (memory) adapter_context{};
    a->host_adapter = description.host_adapter;
    const char* name = description.base_miniport_name ? description.base_miniport_name : "";
    for (std::uint32_t i = 0; i + 1 < sizeof(a->ansi_name) && name[i]; ++i)
        a->ansi_name[i] = name[i];
    a->medium = description.medium;
    a->interface_index = description.interface_index;
    if (description.mac_address) {
        const std::uint32_t n = description.mac_length < 6 ? description.mac_length : 6;
        std::memcpy(description.medium == tarnwell::NDIS_MEDIUM_802_3 ? a->mac_address
                                                                      : a->wan_local_address,
                    description.mac_address, n);
    }
    a->state.store(FILTER_PAUSED);
    a->mtu.store(MAX_ADAPTER_MTU);
    a->mode.store(parameters_.startup_mode);
    {
        exclusive_guard<spin_lock> guard(list_lock_);
        a->next = adapters_;
        a->prev = nullptr;
        if (adapters_)
            adapters_->prev = a;
        adapters_ = a;
        ++adapter_count_;
    }
    if (description.offload_configuration &&
        hide_offloads(description.offload_configuration,
                      description.offload_configuration_length, a->offload_parameters)) {
        send_offload_parameters(a);
    }
    *status = STATUS_SUCCESS;
    return a;
}

void driver::restart(adapter_context* adapter, std::uint32_t* mtu, std::uint32_t* lookahead)
{
    if (mtu) {
        const std::uint32_t capped = *mtu > MAX_ADAPTER_MTU ? MAX_ADAPTER_MTU : *mtu;
        adapter->mtu.store(static_cast<std::uint16_t>(capped));
        *mtu = capped > parameters_.mtu_decrement ? capped - parameters_.mtu_decrement : 0;
    }
    if (lookahead)
        *lookahead = 128;
    if (adapter->stored_offload_length && !adapter->stored_offload_reindicated) {
        adapter->stored_offload_reindicated = true;
        host_.indicate_status(adapter->host_adapter, STATUS_INDICATION_OFFLOAD_CURRENT_CONFIG,
                              adapter->stored_offload, adapter->stored_offload_length);
    }
    if (adapter->offload_parameters[0] == OFFLOAD_PARAMETERS_TYPE)
        send_offload_parameters(adapter);
    adapter->state.store(FILTER_RUNNING, std::memory_order_release);
    signal_global(&driver::list_change_event_);
}

void driver::pause(adapter_context* adapter)
{
    adapter->state.store(FILTER_PAUSING, std::memory_order_seq_cst);  // see pause_counter_hold.h
    {
        exclusive_guard<spin_lock> guard(adapter->oid_lock);
        for (internal_oid_request* r = adapter->internal_requests; r; r = r->next)
            host_.cancel_oid(adapter->host_adapter, &r->request);
    }
    while (adapter->outstanding_sends.load() || adapter->outstanding_indications.load() ||
           adapter->control_references.load())
        host_.sleep_ms(PAUSE_POLL_MS);
    for (;;) {
        bool empty;
        {
            exclusive_guard<spin_lock> guard(adapter->oid_lock);
            empty = adapter->internal_requests == nullptr;
        }
        if (empty)
            break;
        host_.sleep_ms(PAUSE_POLL_MS);
    }
    adapter->state.store(FILTER_PAUSED, std::memory_order_release);
}

void driver::detach(adapter_context* adapter)
{
    {
        exclusive_guard<spin_lock> guard(list_lock_);
        if (adapter->prev)
            adapter->prev->next = adapter->next;
        else
            adapters_ = adapter->next;
        if (adapter->next)
            adapter->next->prev = adapter->prev;
        --adapter_count_;
    }
    reset_queue(adapter);
    wan_link* link = adapter->wan_links;
    while (link) {
        wan_link* next = link->next;
        host_.free(link);
        link = next;
    }
    adapter->~adapter_context();
    host_.free(adapter);
    signal_global(&driver::list_change_event_);
}

adapter_context* driver::find_adapter(std::uint64_t handle)
{
    if (handle == 0)
        return nullptr;
    exclusive_guard<spin_lock> guard(list_lock_);
    // Compared as numbers only: an unknown handle is never dereferenced.
    for (adapter_context* a = adapters_; a; a = a->next) {
        if (a->handle() != handle)
            continue;
        a->control_references.fetch_add(1, std::memory_order_acq_rel);
        if (!a->running()) {
            a->control_references.fetch_sub(1, std::memory_order_acq_rel);
            return nullptr;
        }
        return a;
    }
    return nullptr;
}

void driver::release_adapter(adapter_context* adapter)
{
    adapter->control_references.fetch_sub(1, std::memory_order_acq_rel);
}

void driver::reset_queue(adapter_context* adapter)
{
    packet_list drained;
    host_event* packet_event;
    host_event* filter_change_event;
    {
        exclusive_guard<spin_lock> guard(adapter->queue_lock);
        adapter->mode.store(parameters_.startup_mode, std::memory_order_relaxed);
        bump_mode_generation(adapter);
        drained = adapter->queue;
        adapter->queue = packet_list{};
        adapter->queue_count.store(0);
        packet_event = adapter->packet_event;
        filter_change_event = adapter->filter_change_event;
        adapter->packet_event = adapter->filter_change_event = nullptr;
    }
    packet_pool_.release_list(drained);
    wait_for_event_signallers(adapter);
    if (packet_event)
        host_.release_event(packet_event);
    if (filter_change_event)
        host_.release_event(filter_change_event);
}

// Signalled under the events' lock so that a concurrent replace cannot release the event
// between the read and the signal.
void driver::signal_global(host_event* driver::*which)
{
    exclusive_guard<spin_lock> guard(events_lock_);
    if (this->*which)
        host_.signal_event(this->*which);
}

void driver::replace_global(host_event* driver::*which, host_event* event)
{
    host_event* old;
    {
        exclusive_guard<spin_lock> guard(events_lock_);
        old = this->*which;
        this->*which = event;
    }
    if (old)
        host_.release_event(old);
}

}  // namespace corvflt
