#pragma once
// The corvflt driver core: the one object a host drives. It holds the global state (adapter
// list, pools, filter table, global events, open handles, shared sections) and offers the
// entry points below. Everything reaches the outside through the driver_host given at
// construction.
//
// Who calls what (threads / levels as a kernel host would see them):
// - load/unload: once, passive level, no other entry point running.
// - attach/restart/pause/detach: passive level, serialised per adapter by the host, never
//   concurrently with a data-path call for the same adapter after detach began.
// - on_stack_send/on_wire_receive: any thread, concurrently, up to dispatch level.
// - on_status/on_protocol_oid/complete_oid: any thread.
// - open_handle/close_handle/dispatch: caller threads, passive level, concurrently from any
//   number of threads and handles.
//
// Locks: list_lock_ guards the adapter list, lookups and the shared-section slots; each
// adapter's queue_lock its queue, mode and events; events_lock_ the two global events; the
// filter table its own reader/writer lock. Control references make a found adapter safe to
// use without the list lock; pause waits for them.

#include <atomic>
#include <cstdint>

#include "driver/adapter_context.h"
#include "driver/driver_constants.h"
#include "driver/driver_host.h"
#include "driver/filter_table.h"
#include "driver/host_primitives.h"
#include "driver/packet_pool.h"

namespace corvflt {

struct driver_parameters {
    std::uint32_t mtu_decrement = 0;  // "MTUDecrement"
    std::uint32_t startup_mode = 0;   // "StartupMode"
};

// What the host knows about an adapter when the filter attaches to it.
struct adapter_description {
    void* host_adapter = nullptr;         // passed back in every driver_host call
    const char* base_miniport_name = "";  // ANSI, truncated to 255 characters
    std::uint32_t medium = tarnwell::NDIS_MEDIUM_802_3;
    std::uint32_t interface_index = 0;
    const std::uint8_t* mac_address = nullptr;  // current address, up to 6 bytes
    std::uint32_t mac_length = 0;
    // Default offload configuration (offload_records.h layout), edited in place: the host
    // hands the edited copy on to the protocols. May be null.
    std::uint8_t* offload_configuration = nullptr;
    std::uint32_t offload_configuration_length = 0;
};

struct shared_section {
    std::uint8_t* mapping = nullptr;  // system address of the caller's buffer
    std::uint32_t size = 0;
    std::uint32_t capacity = 0;       // slots of INTERMEDIATE_BUFFER size
};

class driver {
public:
    explicit driver(driver_host& host);
    ~driver();
    driver(const driver&) = delete;
    driver& operator=(const driver&) = delete;

    // Allocates the pools and takes the registry parameters. STATUS_UNSUCCESSFUL when any
    // allocation fails (nothing is left allocated then).
    ntstatus load(const driver_parameters& parameters);
    // Resets every adapter's queue, removes the table, frees the pools. Adapters must have
    // been detached by the host before (the kernel guarantees it).
    void unload();

    // Creates the adapter record (state FILTER_PAUSED, mode StartupMode) at the head of the
    // list. Null with *status set on failure.
    adapter_context* attach(const adapter_description& description, ntstatus* status);
    // `mtu`, when given, is the MTU the adapter reports: capped at 1500 and recorded, and
    // replaced by the MTU the stack above should see. `lookahead`, when given, is set to 128.
    void restart(adapter_context* adapter, std::uint32_t* mtu, std::uint32_t* lookahead);
    // Stops the adapter and waits (polling every 30 ms) until every data-path, injection and
    // control user has left and no internal OID request is pending.
    void pause(adapter_context* adapter);
    // Unlinks and frees the record. The adapter must be paused.
    void detach(adapter_context* adapter);

    // Data path: `fates[i]` says what the host must still do with frames[i].
    void on_stack_send(adapter_context* adapter, const frame_view* frames, std::uint32_t count,
                       frame_fate* fates);
    void on_wire_receive(adapter_context* adapter, const frame_view* frames,
                         std::uint32_t count, frame_fate* fates);

    // A status indication from the adapter (status_records.h / offload_records.h layouts).
    // The core may edit `buffer` in place; it passes the indication up through the host.
    void on_status(adapter_context* adapter, std::uint32_t code, std::uint8_t* buffer,
                   std::uint32_t length);
    // A protocol's OID request. Returns its status, or STATUS_PENDING after which the core
    // calls driver_host::complete_protocol_oid.
    ntstatus on_protocol_oid(adapter_context* adapter, oid_request* request);
    // Completion of a request that driver_host::request_oid answered pending for.
    void complete_oid(adapter_context* adapter, oid_request* request, ntstatus status);

    // Control device. `open_handle` is the host's identity of one open handle (file object).
    void open_handle(std::uint64_t open_handle);
    void close_handle(std::uint64_t open_handle);
    // One control request. `system_buffer` holds max(in_length, out_length) bytes: the input
    // on entry, the output on return. Returns the status; STATUS_PENDING only for the OID
    // codes, after which driver_host::complete_control_request(request_token, ...) follows
    // and the host keeps `system_buffer` alive until then.
    ntstatus dispatch(std::uint64_t open_handle, std::uint32_t code, std::uint8_t* system_buffer,
                      std::uint32_t in_length, std::uint32_t out_length,
                      std::uint32_t* bytes_returned, std::uint64_t request_token = 0);

    // Introspection for hosts and tests.
    std::uint32_t open_count() const { return open_count_.load(); }
    const packet_pool& pool() const { return packet_pool_; }
    const driver_parameters& parameters() const { return parameters_; }

private:
    friend struct control_handlers;

    // lifecycle helpers (driver_lifecycle.cpp)
    adapter_context* find_adapter(std::uint64_t handle);
    void release_adapter(adapter_context* adapter);
    void reset_queue(adapter_context* adapter);
    void signal_global(host_event* driver::*which);
    void replace_global(host_event* driver::*which, host_event* event);
    ntstatus issue_internal_oid(adapter_context* adapter, internal_oid_request* request);
    void finish_internal_oid(adapter_context* adapter, internal_oid_request* request,
                             ntstatus status);
    void apply_oid_adjustments(adapter_context* adapter, const oid_request& request);
    void send_offload_parameters(adapter_context* adapter);
    void wan_line_up(adapter_context* adapter, std::uint8_t* buffer, std::uint32_t length);
    void wan_line_down(adapter_context* adapter, const std::uint8_t* buffer,
                       std::uint32_t length);

    // data path (data_path.cpp)
    void judge_chain(adapter_context* adapter, const frame_view* frames, std::uint32_t count,
                     frame_fate* fates, std::uint32_t direction);
    // Judges one frame under `mode`; buffers to queue for the client are appended to
    // `queued`, which the caller delivers once per chain.
    frame_fate process_frame(adapter_context* adapter, const frame_view& frame,
                             std::uint32_t direction, std::uint32_t mode, packet_list& queued);
    std::uint32_t decide(adapter_context* adapter, packet_buffer* buffer, std::uint32_t mode,
                         std::uint32_t direction);
    // Queues `buffers` unless the adapter's mode generation moved on from `generation`
    // (then false, and the buffers stay with the caller).
    bool deliver(adapter_context* adapter, packet_list& buffers, std::uint32_t generation);
    // Under queue_lock: a mode change or flush that chains judged before it must not outlive.
    static void bump_mode_generation(adapter_context* adapter)
    {
        adapter->mode_generation.fetch_add(1, std::memory_order_release);
    }
    void deliver_to_sections(adapter_context* adapter, packet_list& buffers);
    host_event* hold_packet_event(adapter_context* adapter);
    void signal_held_event(adapter_context* adapter, host_event* event);
    void wait_for_event_signallers(adapter_context* adapter);

    // Injection of client frames (used by the dispatcher). prepare_injection checks the
    // length rules on a client record copied into a descriptor and fills `view`; false
    // refuses it. inject_chain hands `count` prepared frames to the host as one chain. The
    // adapter must be held by a control reference.
    bool prepare_injection(adapter_context* adapter, bool to_stack, packet_buffer* descriptor,
                           frame_view* view);
    void inject_chain(adapter_context* adapter, bool to_stack, const frame_view* views,
                      std::uint32_t count);

private:
    driver_host& host_;
    driver_parameters parameters_{};
    bool loaded_ = false;

    packet_pool packet_pool_;
    packet_pool descriptor_pool_;  // local copies of injected client frames

    spin_lock list_lock_;
    adapter_context* adapters_ = nullptr;  // newest first
    std::uint32_t adapter_count_ = 0;

    spin_lock events_lock_;
    host_event* wan_event_ = nullptr;
    host_event* list_change_event_ = nullptr;

    filter_table filter_table_;

    std::atomic<std::uint32_t> open_count_{0};
    // Shared sections; slots change under list_lock_.
    std::uint64_t section_owner_ = 0;
    bool section_owned_ = false;
    std::uint32_t additional_sections_ = 0;
    shared_section sections_[tarnwell::MAX_SHARED_SECTIONS];
    std::atomic<bool> sections_active_{false};
};

}  // namespace corvflt
