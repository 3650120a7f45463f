#pragma once
// tarnwell::queued_packet_filter: filters one adapter through a pipeline of four threads
// (reader, processor, stack writer, adapter writer) passing ten packet blocks around, so
// that reading from the driver, the callbacks and both re-injections overlap. Used by the
// proxy gateway on the Wintun adapter.
//
// Owns its device handle (CTarnwell base), the adapter vector, the blocks, the four
// queues and the threads. The owner calls start_filter/stop_filter/reconfigure from one
// thread; the callbacks run on the processor thread and must not call stop_filter.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "tarnwell/block_queue.h"
#include "tarnwell/driver_client.h"
#include "tarnwell/filter_state.h"
#include "tarnwell/network_adapter.h"
#include "tarnwell/packet_block.h"

namespace tarnwell {

class queued_packet_filter : public CTarnwell {
public:
    // Any value other than pass and revert drops the packet.
    enum class packet_action : std::uint32_t { pass = 0, drop = 1, revert = 2 };
    // Receives the adapter handle of the batch and one packet, which it may rewrite in
    // place (frame and length). An empty callback passes every packet.
    using packet_callback = std::function<packet_action(std::uint64_t, INTERMEDIATE_BUFFER&)>;

    // Open the driver and list its adapters. Throw std::runtime_error when the driver is
    // not available.
    queued_packet_filter(packet_callback outgoing, packet_callback incoming);
    queued_packet_filter(std::unique_ptr<platform::control_device> device,
                         packet_callback outgoing, packet_callback incoming);
    ~queued_packet_filter() override;

    // Starts filtering adapter `index` of the vector. False unless stopped, for an index
    // out of range, or when the blocks or the driver's event cannot be set up. Throws
    // std::system_error when a thread cannot be created.
    bool start_filter(std::size_t index);
    // Stops a running filter: no thread left, adapter back to mode 0, queue flushed.
    void stop_filter();
    // Lists the adapters again; refused (false) unless stopped.
    bool reconfigure();

    filter_state state() const { return state_.load(); }
    // In the driver's order; changes only through reconfigure().
    // Packets dropped because their callback threw (see packet_callback_guard.h).
    std::uint64_t callback_failures() const { return callback_failures_.load(); }
    const std::vector<std::unique_ptr<network_adapter>>& get_adapters() const
    {
        return adapters_;
    }

private:
    void open();
    void build_adapters();
    void stop();
    void free_blocks();

    void read_packets();
    void process_packets();
    void write_to_stack();
    void write_to_adapter();
    bool running() const { return state_.load() == filter_state::running; }

    packet_callback outgoing_;
    packet_callback incoming_;
    std::atomic<filter_state> state_{filter_state::stopped};
    std::atomic<std::uint64_t> callback_failures_{0};
    std::vector<std::unique_ptr<network_adapter>> adapters_;
    std::size_t index_ = 0;  // of the filtered adapter; set by start_filter

    std::vector<std::unique_ptr<packet_block>> blocks_;  // all blocks; queues hold pointers
    block_queue free_queue_;
    block_queue read_queue_;
    block_queue processed_queue_;
    block_queue stack_written_queue_;

    std::thread reader_;
    std::thread processor_;
    std::thread stack_writer_;
    std::thread adapter_writer_;
};

}  // namespace tarnwell
