#pragma once
// The driver_host of corvflt.sys: frames become NET_BUFFER_LISTs of the binding's own pool,
// OID requests become NDIS_OID_REQUESTs, events are kernel event objects referenced from the
// caller's handles, the caller's memory is reached through guarded copies and locked MDLs,
// and records come from non-paged pool with the driver's tag.
//
// Called by the core from every thread the core runs on (see driver_host.h), at
// <= DISPATCH_LEVEL for the data-path, OID and allocation functions and at PASSIVE_LEVEL
// for the event, caller-memory and sleep functions (the control device runs there).

#include <atomic>
#include <cstdint>

#include "driver/driver_host.h"
#include "driver/host_primitives.h"
#include "driver/ndis/nt_ndis.h"
#include "tarnwell/control_interface.h"

namespace corvflt::ndis {

struct binding;
struct filter_module;

// An NDIS request the binding sent down, found again from the request through its
// SourceReserved bytes. `original` is the protocol's request for a forwarded clone, null for
// the driver's own requests (then `ndis` is the request sent).
struct host_oid {
    nt::NDIS_OID_REQUEST ndis;
    nt::NDIS_OID_REQUEST* sent;
    nt::NDIS_OID_REQUEST* original;
    oid_request* core_record;  // the core's record of this request, kept by the core
    filter_module* module;
    bool internal;
};

class kernel_host final : public driver_host {
public:
    explicit kernel_host(binding& owner) : owner_(owner) {}

    // Builds one NBL of the binding's pool holding `frame`; null when the pool is empty.
    nt::NET_BUFFER_LIST* build_nbl(filter_module* module, const frame_view& frame);
    // One NBL per frame, chained; frames the pool cannot hold are dropped and counted.
    // `built` is the chain's length.
    nt::NET_BUFFER_LIST* build_chain(filter_module* module, const frame_view* frames, std::uint32_t count,
                                     std::uint32_t& built);
    // Restores and frees an NBL build_nbl made.
    void free_nbl(nt::NET_BUFFER_LIST* nbl);
    bool is_own_nbl(const filter_module* module, const nt::NET_BUFFER_LIST* nbl) const;
    // Sends or indicates a chain of NBLs the binding built (the adapter's counters are
    // raised per NBL until its completion or return).
    void send_chain(filter_module* module, nt::NET_BUFFER_LIST* head, std::uint32_t count);
    void indicate_chain(filter_module* module, nt::NET_BUFFER_LIST* head, std::uint32_t count);

    static host_oid* oid_of(nt::NDIS_OID_REQUEST* request);
    // Copies the byte counts of a finished request into the core's record (and, for a
    // clone, into the protocol's request).
    static void copy_back(host_oid* oid);
    void free_oid(host_oid* oid);

    // Sections still mapped (tests check none is left at unload).
    std::uint32_t mapped_sections();
    std::uint32_t dropped_frames() const { return dropped_.load(); }

    // driver_host
    void send_to_adapter(void* host_adapter, const frame_view* frames, std::uint32_t count) override;
    void indicate_to_stack(void* host_adapter, const frame_view* frames, std::uint32_t count) override;
    ntstatus request_oid(void* host_adapter, oid_request* request) override;
    void cancel_oid(void* host_adapter, oid_request* request) override;
    void complete_protocol_oid(void* host_adapter, oid_request* request, ntstatus status) override;
    void indicate_status(void* host_adapter, std::uint32_t code, const std::uint8_t* buffer,
                         std::uint32_t length) override;
    void complete_control_request(std::uint64_t request_token, ntstatus status,
                                  std::uint32_t bytes_returned) override;
    host_event* reference_event(std::uint64_t open_handle, std::uint64_t user_handle) override;
    void signal_event(host_event* event) override;
    void release_event(host_event* event) override;
    bool read_user(std::uint64_t open_handle, std::uint64_t address, void* destination,
                   std::uint32_t length) override;
    bool write_user(std::uint64_t open_handle, std::uint64_t address, const void* source,
                    std::uint32_t length) override;
    std::uint8_t* map_user_section(std::uint64_t open_handle, std::uint64_t address,
                                   std::uint32_t size) override;
    void unmap_user_section(std::uint8_t* mapping, std::uint32_t size) override;
    void* allocate(std::size_t bytes) override;
    void free(void* memory) override;
    std::uint32_t seconds_since_1980() override;
    void sleep_ms(std::uint32_t milliseconds) override;

private:
    struct section_lock {
        std::uint8_t* mapping;
        nt::MDL* mdl;
    };
    static constexpr std::uint32_t SECTION_SLOTS = tarnwell::MAX_SHARED_SECTIONS;

    binding& owner_;
    spin_lock sections_lock_;
    section_lock sections_[SECTION_SLOTS] = {};
    std::atomic<std::uint32_t> dropped_{0};
};

// A status indication the binding re-laid out for the core (WAN line up, mobile broadband
// context state). The core hands `portable` back to indicate_status, which finds the
// original indication again through it.
struct status_translation {
    std::uint8_t portable[24 + tarnwell::WAN_PROTOCOL_BUFFER_SIZE];
    nt::NDIS_STATUS_INDICATION* original;
};

}  // namespace corvflt::ndis
