#pragma once
// tarnwell::dual_packet_filter: filters up to two adapters (slots 0 and 1), one working
// thread each, and can move a packet from one slot's adapter to the other's (the partner
// of slot s is slot 1 - s). A watcher thread follows the driver's adapter list: it stops
// a slot whose adapter disappeared, refreshes the adapter vector and calls the owner's
// list-change callbacks. When the driver goes away (its daemon died), the watcher stops
// both slots and opens the device again every second; once a driver answers it rebuilds
// the adapter vector and calls the callbacks, so that the owner starts over with the new
// driver's adapters. Used by the NAT gateway on the Wintun and the provider adapter.
//
// Owns its device handle (CTarnwell base), the list-change event, both slots' buffers and
// requests, the adapter vector (shared with the working threads) and the threads.
//
// Locking: one reader/writer lock guards the vector, the slots' setup and the callback
// list; start, stop, refresh and registration take it exclusively, the watcher calls the
// list-change callbacks under it shared. Working threads never take it: they read their
// partner's state and handle from atomics. Hence packet callbacks and list-change
// callbacks must not call start_filter/stop_filter/set_callbacks/add_list_change_callback/
// refresh_adapters (packet callbacks may read get_adapters() only while no stop can run).

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "tarnwell/batch_page.h"
#include "tarnwell/driver_client.h"
#include "tarnwell/filter_state.h"
#include "tarnwell/network_adapter.h"

namespace tarnwell {

class dual_packet_filter : public CTarnwell {
public:
    enum class packet_action : std::uint32_t {
        pass = 0,
        drop = 1,
        revert = 2,
        route = 3,         // outgoing: out of the partner's adapter; incoming: up its stack
        route_revert = 4,  // outgoing: up the partner's stack; incoming: out of its adapter
    };
    // Receives the adapter handle of the batch and one packet, which it may rewrite in
    // place (frame and length). An empty callback passes every packet.
    using packet_callback = std::function<packet_action(std::uint64_t, INTERMEDIATE_BUFFER&)>;

    static constexpr std::size_t slot_count = 2;

    // Open the driver (a filter without a driver has no adapters and starts nothing),
    // attach the list-change event, list the adapters and start the watcher.
    dual_packet_filter();
    explicit dual_packet_filter(std::unique_ptr<platform::control_device> device);
    ~dual_packet_filter() override;

    // Sets one slot's callbacks; refused while the slot runs.
    bool set_callbacks(std::size_t slot, packet_callback outgoing, packet_callback incoming);
    // True when the slot runs (already running: left as it is). False for an unknown
    // handle or slot, or when the driver refuses the event.
    bool start_filter(std::uint64_t adapter_handle, std::size_t slot);
    // The slot's thread is gone and its adapter back in mode 0 when this returns. Throws
    // std::system_error (resource deadlock) when called from the slot's own thread.
    bool stop_filter(std::size_t slot);
    bool add_list_change_callback(std::function<void()> callback);

    filter_state slot_state(std::size_t slot) const;
    std::uint64_t slot_adapter(std::size_t slot) const;
    // Packets dropped because their callback threw (see packet_callback_guard.h).
    std::uint64_t callback_failures() const { return callback_failures_.load(); }
    // A snapshot of the adapter vector, in the driver's order as of the last refresh.
    std::vector<std::shared_ptr<network_adapter>> get_adapters() const;
    // Lists the adapters anew: new ones appear, gone ones leave, and renamed ones (a
    // connection renamed by the admin changes no handle, so the driver signals nothing)
    // are replaced. Left as it was when the driver does not answer.
    void refresh_adapters();

private:
    struct slot_record {
        slot_record();

        packet_callback outgoing;
        packet_callback incoming;
        std::atomic<filter_state> state{filter_state::stopped};
        std::atomic<std::uint64_t> handle{0};
        std::thread worker;
        // The adapter whose event the worker waits on; stop releases this very object.
        std::shared_ptr<network_adapter> adapter;
        std::unique_ptr<INTERMEDIATE_BUFFER[]> buffers;
        batch_page read;
        batch_page to_adapter;
        batch_page to_stack;
        batch_page partner_adapter;
        batch_page partner_stack;
    };

    static constexpr std::uint32_t reconnect_period_ms = 1000;

    void on_driver_lost() override;
    bool reconnect();
    void open();
    void build_adapters();  // caller holds lock_ exclusively (or is the constructor)
    void watch();
    void announce_removed(std::uint64_t handle);
    void run_slot(std::size_t slot, std::shared_ptr<network_adapter> adapter);
    void process_batch(slot_record& me, slot_record& partner);

    mutable std::shared_mutex lock_;
    std::vector<std::shared_ptr<network_adapter>> adapters_;  // guarded by lock_
    std::vector<std::function<void()>> list_change_callbacks_;  // guarded by lock_
    std::array<slot_record, slot_count> slots_;

    platform::event list_change_{platform::event_kind::manual_reset};
    std::atomic<bool> exit_{false};
    std::atomic<std::uint64_t> callback_failures_{0};
    std::thread watcher_;
};

}  // namespace tarnwell
