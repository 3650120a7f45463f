#pragma once
// One attached adapter. Allocated at attach, freed at detach; its address is the adapter
// handle clients see. Owned by the driver's adapter list.
//
// Locks: `queue_lock` guards the queue, its count, the mode writes and both adapter events
// (`event_signallers` counts data-path threads signalling the packet event outside the lock:
// whoever replaces or releases that event waits for it to drop to 0 first), and
// `mode_generation`, bumped under it by every mode change and flush: a chain judged under an
// older generation is not queued, so a flush always wins over chains judged before it;
// `wan_lock` guards the WAN link list and WAN addresses; `oid_lock` the internal request
// list. The counters let pause wait until no data-path or control user is left.

#include <atomic>
#include <cstdint>

#include "driver/driver_host.h"
#include "driver/host_primitives.h"
#include "driver/offload_records.h"
#include "driver/packet_pool.h"
#include "tarnwell/control_interface.h"

namespace corvflt {

// One WAN link as reported when its line came up; linked oldest first.
struct wan_link {
    wan_link* next;
    tarnwell::WAN_LINK_INFO info;
};

// An OID request the driver issued itself (offload parameters, pass-through control
// requests). `control_token` is the pending control request it belongs to, if any.
struct internal_oid_request {
    internal_oid_request* next;
    oid_request request;
    std::uint64_t control_token;
    std::uint8_t* control_buffer;  // the control request's system buffer, if any
    std::uint32_t control_length;
    bool from_control;
    bool control_pending;          // dispatch already returned pending for it
    std::uint8_t inline_data[OFFLOAD_PARAMETERS_SIZE];
};

struct adapter_context {
    adapter_context* next;
    adapter_context* prev;
    void* host_adapter;

    char ansi_name[tarnwell::ADAPTER_NAME_SIZE];
    std::uint32_t interface_index;
    std::uint32_t medium;

    std::atomic<std::uint32_t> state;
    std::atomic<std::uint32_t> outstanding_indications;
    std::atomic<std::uint32_t> outstanding_sends;
    std::atomic<std::uint32_t> control_references;

    spin_lock oid_lock;
    internal_oid_request* internal_requests;
    std::atomic<std::uint32_t> pending_forwarded;

    spin_lock wan_lock;
    wan_link* wan_links;
    std::uint32_t wan_link_count;
    std::uint8_t wan_remote_address[6];
    std::uint8_t wan_local_address[6];
    std::uint32_t wan_link_speed;
    std::uint32_t mbb_connection_id;

    std::atomic<std::uint16_t> mtu;
    std::uint8_t mac_address[6];

    std::uint8_t stored_offload[OFFLOAD_CONFIG_SIZE];
    std::uint32_t stored_offload_length;
    bool stored_offload_reindicated;
    std::uint8_t offload_parameters[OFFLOAD_PARAMETERS_SIZE];

    // packet_queue
    spin_lock queue_lock;
    packet_list queue;
    std::atomic<std::uint32_t> queue_count;
    std::atomic<std::uint32_t> mode;
    std::atomic<std::uint32_t> mode_generation;
    host_event* packet_event;
    host_event* filter_change_event;
    std::atomic<std::uint32_t> event_signallers;

    std::uint64_t handle() const { return reinterpret_cast<std::uintptr_t>(this); }
    bool running() const { return state.load(std::memory_order_seq_cst) > 5; }
};

}  // namespace corvflt
