#pragma once
// What the driver core needs from its host (fake host in tests, the Linux daemon, later the
// NDIS binding), and the small records that cross between them.
//
// Threads: the core calls the data-path functions (send_to_adapter, indicate_to_stack) from
// whatever thread called it (a data-path entry point or a control request), never while it
// holds one of its own locks. Event, memory and OID functions are called from control
// requests and status/OID paths, also without core locks held -- except signal_event, which
// runs under the lock that keeps the event referenced and so must not block or call back
// into the core. The host must let every function be called concurrently from several
// threads. A pending OID or control request may complete (complete_oid,
// complete_control_request) before the call that returned STATUS_PENDING has returned.

#include <cstddef>
#include <cstdint>

namespace corvflt {

using ntstatus = std::uint32_t;

// One frame as it crosses between host and core. For IP media (9, 19) `data` is the bare IP
// packet and `frame_type` its EtherType (host order); for other media `data` is an Ethernet
// frame and `frame_type` is ignored. Valid only for the duration of the call it is passed to.
struct frame_view {
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    std::uint32_t ieee8021q = 0;   // per-packet 802.1Q information, copied through
    std::uint16_t frame_type = 0;  // EtherType of a bare IP packet
    bool loopback = false;         // the OS marked the packet as looped back (receive path)
};

// What the host must still do with a frame it handed to on_stack_send / on_wire_receive.
enum class frame_fate : std::uint8_t {
    pass,      // forward the original frame as if the filter were not there
    consumed,  // the core took it (queued, dropped, or re-injected a copy): drop the original
};

inline constexpr std::uint32_t OID_TYPE_QUERY = 0;
inline constexpr std::uint32_t OID_TYPE_SET = 1;

// One OID request sent down to the adapter. For internal requests the core owns the record
// and its buffer; for requests the core forwards from the protocols the host owns them.
// `bytes_done` is filled by the host when the request completes.
struct oid_request {
    std::uint32_t type = OID_TYPE_QUERY;
    std::uint32_t oid = 0;
    std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    std::uint32_t bytes_done = 0;
    std::uint64_t host_token = 0;  // the host's own reference for forwarded requests
};

// One block of a vectored copy to or from the caller's memory.
struct user_block {
    std::uint64_t address = 0;
    const void* source = nullptr;  // write_user_blocks
    void* destination = nullptr;   // read_user_blocks
    std::uint32_t length = 0;
};

// An event object the host referenced on behalf of a caller; opaque to the core.
struct host_event;

class driver_host {
public:
    virtual ~driver_host() = default;

    // --- data path (host_adapter is the cookie the host passed to attach) ---
    // Send `count` frames out of the adapter as one chain. Synchronous as far as the frame
    // memory is concerned: the host copies or transmits them before returning.
    virtual void send_to_adapter(void* host_adapter, const frame_view* frames,
                                 std::uint32_t count) = 0;
    // Indicate `count` frames up the protocol stack as if received, as one chain.
    virtual void indicate_to_stack(void* host_adapter, const frame_view* frames,
                                   std::uint32_t count) = 0;

    // --- OIDs and status ---
    // Issue an OID request to the adapter below. Returns its status, or STATUS_PENDING when
    // it completes later through driver::complete_oid with the same record.
    virtual ntstatus request_oid(void* host_adapter, oid_request* request) = 0;
    // Ask the adapter to cancel a pending request (it still completes through complete_oid).
    virtual void cancel_oid(void* host_adapter, oid_request* request) = 0;
    // Complete a protocol's OID request that on_protocol_oid returned pending for.
    virtual void complete_protocol_oid(void* host_adapter, oid_request* request,
                                       ntstatus status) = 0;
    // Pass a status indication up to the protocols (possibly edited by the core).
    virtual void indicate_status(void* host_adapter, std::uint32_t code,
                                 const std::uint8_t* buffer, std::uint32_t length) = 0;
    // Complete a control request that dispatch returned STATUS_PENDING for. The host keeps
    // the system buffer of that request alive until this call.
    virtual void complete_control_request(std::uint64_t request_token, ntstatus status,
                                          std::uint32_t bytes_returned) = 0;

    // --- events handed in by callers ---
    // Reference the caller's event `user_handle` for open handle `open_handle`; null when
    // the handle names no usable event.
    virtual host_event* reference_event(std::uint64_t open_handle, std::uint64_t user_handle) = 0;
    virtual void signal_event(host_event* event) = 0;
    virtual void release_event(host_event* event) = 0;

    // --- the caller's memory (like a probe: false for any byte that is not accessible) ---
    virtual bool read_user(std::uint64_t open_handle, std::uint64_t address, void* destination,
                           std::uint32_t length) = 0;
    virtual bool write_user(std::uint64_t open_handle, std::uint64_t address, const void* source,
                            std::uint32_t length) = 0;
    // Writes `count` blocks in order and returns how many leading blocks were written
    // completely: the first block that is not fully accessible ends the copy (what lies
    // behind it may or may not have been written). Hosts that can copy many blocks in one
    // operation override it; the default writes them one by one.
    virtual std::uint32_t write_user_blocks(std::uint64_t open_handle, const user_block* blocks,
                                            std::uint32_t count)
    {
        std::uint32_t done = 0;
        while (done < count && write_user(open_handle, blocks[done].address, blocks[done].source,
                                          blocks[done].length))
            ++done;
        return done;
    }
    // The same for reading: how many leading blocks were read completely.
    virtual std::uint32_t read_user_blocks(std::uint64_t open_handle, const user_block* blocks,
                                           std::uint32_t count)
    {
        std::uint32_t done = 0;
        while (done < count && read_user(open_handle, blocks[done].address,
                                         blocks[done].destination, blocks[done].length))
            ++done;
        return done;
    }
    // Lock and map `size` bytes of the caller's memory for shared sections; null on failure.
    // The mapping stays valid until unmap_user_section, even after the caller exits.
    virtual std::uint8_t* map_user_section(std::uint64_t open_handle, std::uint64_t address,
                                           std::uint32_t size) = 0;
    virtual void unmap_user_section(std::uint8_t* mapping, std::uint32_t size) = 0;

    // --- system services ---
    // Non-paged memory for records created outside the data path (adapter records, filter
    // table copies, WAN links, internal OID requests, the pools at load). Null on failure.
    virtual void* allocate(std::size_t bytes) = 0;
    virtual void free(void* memory) = 0;
    // Whole seconds since 1980-01-01 00:00 UTC.
    virtual std::uint32_t seconds_since_1980() = 0;
    // Sleep the calling thread (the pause poll, passive level only).
    virtual void sleep_ms(std::uint32_t milliseconds) = 0;
};

}  // namespace corvflt
