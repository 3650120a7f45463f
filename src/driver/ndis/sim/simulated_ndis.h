#pragma once
// A simulated NDIS and kernel for tests: a user-mode implementation of every NDIS, Io, Ke,
// Ob, Mm and Rtl function corvflt.sys imports, over real NET_BUFFER_LIST / NET_BUFFER / MDL
// records built from the same declarations. The binding's own sources link against it
// unchanged, so tests drive DriverEntry, the filter entry points and the control device
// exactly as NDIS and the I/O manager would, and look at what reached the miniport below,
// the protocols above and the caller.
//
// What it checks as it goes (each breach is recorded in violations(), which tests expect
// to be empty): NBLs handed back to the wrong side or twice, chains whose count does not
// match, NBLs the filter originates while paused, dispatch-level flags that do not match the IRQL, an IRP completed twice or returned
// pending without being marked, events signalled after their last reference, pools freed
// with NBLs outstanding, memory freed with another tag.
//
// One instance per process (the C functions are global); tests reset it between cases.
// Thread-safe: tests may drive the binding from several threads at once.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "driver/ndis/nt_ndis.h"

namespace corvflt::ndis::sim {

struct recorded_frame {
    std::vector<std::uint8_t> data;
    std::uint16_t frame_type = 0;  // host order, from the NBL's frame-type info
    std::uint32_t nbl_flags = 0;
    std::uint32_t ieee8021q = 0;
    bool from_filter = false;  // an NBL of the filter's own pool (an injection or a copy)
    const void* nbl = nullptr;  // the NBL that carried it (for telling which call it came from)
};

struct recorded_status {
    std::uint32_t code = 0;
    std::vector<std::uint8_t> buffer;
};

// One adapter below the filter, with the protocols above it.
struct miniport {
    std::string name;
    nt::NDIS_MEDIUM medium = nt::NdisMedium802_3;
    std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x10};
    nt::NDIS_HANDLE module_context = nullptr;
    bool attached = false;
    std::atomic<bool> running{false};  // restarted and not paused since (the filter's pause returned)

    std::mutex mutex;
    // What the filter sent down and has not been completed yet; what it indicated up and
    // was not returned yet (driver-originated NBLs and passed-through ones alike).
    std::vector<nt::NET_BUFFER_LIST*> sent_down;
    std::vector<nt::NET_BUFFER_LIST*> indicated_up;
    std::vector<recorded_frame> wire;   // every frame that reached the miniport
    std::vector<recorded_frame> stack;  // every frame that reached the protocols
    // Calls that carried NBLs of the filter's own pool (its chains of injections and copies).
    std::uint32_t filter_send_chains = 0;
    std::uint32_t filter_indicate_chains = 0;
    // Protocol NBLs the filter completed, miniport NBLs it returned (with their status).
    std::vector<std::pair<nt::NET_BUFFER_LIST*, nt::NDIS_STATUS>> completed_to_protocol;
    std::vector<nt::NET_BUFFER_LIST*> returned_to_miniport;

    // OIDs: how the miniport answers, and what it saw.
    bool pend_oids = false;
    nt::NDIS_STATUS oid_status = nt::NDIS_STATUS_SUCCESS;
    std::vector<std::uint8_t> oid_answer;
    std::vector<nt::NDIS_OID_REQUEST*> pending_oids;
    std::vector<std::pair<nt::NDIS_OID, std::vector<std::uint8_t>>> oids_down;
    std::vector<std::pair<nt::NDIS_OID_REQUEST*, nt::NDIS_STATUS>> protocol_completions;
    std::uint32_t cancels = 0;
    std::vector<recorded_status> statuses;
};

struct irp_result {
    nt::NTSTATUS returned = 0;     // what the dispatch routine returned
    bool completed = false;
    bool marked_pending = false;   // SL_PENDING_RETURNED was set when it completed
    nt::NTSTATUS status = 0;       // the completion's
    std::uint64_t information = 0;
    std::vector<std::uint8_t> buffer;  // the system buffer after completion
};

class simulated_ndis {
public:
    static simulated_ndis& instance();

    // Forgets everything (tests call it first); refuses while a driver is loaded.
    void reset();

    // --- the driver ---
    void set_registry_dword(const std::u16string& name, std::uint32_t value);
    void set_registry_value(const std::u16string& name, nt::ULONG type, std::vector<std::uint8_t> bytes);
    bool export_query_ex = false;  // whether MmGetSystemRoutineAddress finds the Ex variant
    nt::NTSTATUS load();           // DriverEntry
    void unload();                 // the driver's unload routine (NDIS detaches modules first)
    const nt::NDIS_FILTER_DRIVER_CHARACTERISTICS& characteristics() const { return chars_; }
    bool registered() const { return registered_; }
    bool device_registered() const { return device_registered_; }
    const std::u16string& device_name() const { return device_name_; }
    const std::u16string& link_name() const { return link_name_; }

    // --- adapters ---
    // Attaches the filter (with a default offload configuration when `offload` is given,
    // and the current address `mac` when given) and restarts it with `mtu` in the restart
    // attributes. Null when attach failed.
    miniport* attach(const std::string& name, nt::NDIS_MEDIUM medium, std::uint32_t mtu = 1500,
                     const std::vector<std::uint8_t>* offload = nullptr, nt::NDIS_STATUS* status = nullptr,
                     const std::uint8_t* mac = nullptr);
    nt::NDIS_STATUS restart(miniport* m, std::uint32_t mtu, std::uint32_t* mtu_seen = nullptr,
                            std::uint32_t* lookahead_seen = nullptr);
    nt::NDIS_STATUS pause(miniport* m);
    void detach(miniport* m);

    // --- frames ---
    // One NBL per frame, each NB's data split over MDLs of at most `mdl_bytes` bytes.
    nt::NET_BUFFER_LIST* build_chain(const std::vector<std::vector<std::uint8_t>>& frames, std::uint32_t mdl_bytes,
                                     std::uint16_t frame_type = 0, std::uint32_t nbl_flags = 0);
    // One NBL whose NBs are `frames`.
    nt::NET_BUFFER_LIST* build_multi(const std::vector<std::vector<std::uint8_t>>& frames, std::uint32_t mdl_bytes);
    void free_chain(nt::NET_BUFFER_LIST* chain);
    void protocol_send(miniport* m, nt::NET_BUFFER_LIST* chain, bool at_dispatch = true);
    void miniport_receive(miniport* m, nt::NET_BUFFER_LIST* chain, bool resources = false, bool at_dispatch = true);
    // The miniport completes everything sent down; the protocols return everything indicated.
    void complete_sends(miniport* m);
    void return_indications(miniport* m);
    // Frees the test-built NBLs the filter gave back (completed or returned).
    void release_given_back(miniport* m);

    // --- OIDs ---
    nt::NDIS_STATUS protocol_oid(miniport* m, nt::NDIS_OID_REQUEST* request);
    void complete_pending_oids(miniport* m, nt::NDIS_STATUS status, std::uint32_t bytes = 0);
    void indicate_status(miniport* m, nt::NDIS_STATUS code, void* buffer, std::uint32_t length);

    // --- the control device ---
    nt::FILE_OBJECT* open();
    void cleanup_and_close(nt::FILE_OBJECT* file);
    // One request; `result` stays valid until the next reset (a pending one completes
    // into it later).
    irp_result* ioctl(nt::FILE_OBJECT* file, std::uint32_t code, const std::vector<std::uint8_t>& in,
                      std::uint32_t out_length, nt::UCHAR major = nt::IRP_MJ_DEVICE_CONTROL);

    // --- events and the caller's memory ---
    std::uint64_t create_event();
    std::uint32_t signals(std::uint64_t handle);
    std::int32_t references(std::uint64_t handle);
    std::uint64_t create_object_of_other_type();
    void register_user_memory(const void* start, std::size_t length);
    void unregister_user_memory(const void* start);

    // --- accounting ---
    std::int64_t live_pool_allocations() const { return pool_allocations_.load(); }
    std::int64_t live_nbls() const { return live_nbls_.load(); }
    std::int64_t live_mdls() const { return live_mdls_.load(); }
    std::int64_t locked_mdls() const { return locked_mdls_.load(); }
    std::int64_t live_clones() const { return live_clones_.load(); }
    std::int64_t live_event_references();
    // Fails the n-th pool allocation from now (1 = the next one); 0 never.
    std::atomic<std::int64_t> fail_allocation_at{0};
    // Fails every pool allocation while set.
    std::atomic<bool> fail_allocations{false};
    // The system time the kernel reports (100 ns since 1601) when non-zero.
    std::atomic<std::int64_t> fixed_system_time{0};
    // Called before every copy from the caller's memory (tests hold a request in flight with
    // it). Set it only while no request runs.
    std::function<void()> user_read_hook;
    // Called at the start of every NdisAllocateNetBufferList (tests hold a data-path call of
    // the filter there). Set it only while no traffic flows.
    std::function<void()> nbl_allocation_hook;
    std::vector<std::string> violations();
    void violation(const std::string& what);

    // --- used by the C functions (not for tests) ---
    struct pool;
    struct event_object {
        bool is_event = true;
        std::atomic<std::int32_t> references{0};
        std::atomic<std::uint32_t> signals{0};
    };
    nt::NDIS_FILTER_DRIVER_CHARACTERISTICS chars_{};
    nt::NDIS_HANDLE driver_context_ = nullptr;
    bool registered_ = false;
    bool device_registered_ = false;
    nt::DRIVER_DISPATCH* major_[nt::IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    std::u16string device_name_;
    std::u16string link_name_;
    nt::DRIVER_OBJECT driver_object_{};
    std::map<std::u16string, std::pair<nt::ULONG, std::vector<std::uint8_t>>> registry_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<miniport>> miniports_;
    std::map<std::uint64_t, std::unique_ptr<event_object>> events_;
    std::uint64_t next_handle_ = 0x40;
    std::map<std::uintptr_t, std::size_t> user_memory_;
    std::vector<std::unique_ptr<irp_result>> results_;
    std::map<nt::IRP*, irp_result*> pending_irps_;
    std::mutex violations_mutex_;
    std::vector<std::string> violations_;
    std::atomic<std::int64_t> pool_allocations_{0};
    std::atomic<std::int64_t> live_nbls_{0};
    std::atomic<std::int64_t> live_mdls_{0};
    std::atomic<std::int64_t> locked_mdls_{0};
    std::atomic<std::int64_t> live_clones_{0};
    int file_objects_ = 0;

    bool user_accessible(std::uintptr_t address, std::size_t length);
    miniport* miniport_of(nt::NDIS_HANDLE filter_handle);
};

}  // namespace corvflt::ndis::sim
