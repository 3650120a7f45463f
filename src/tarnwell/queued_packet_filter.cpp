#include "tarnwell/queued_packet_filter.h"

#include <new>
#include <stdexcept>
#include <utility>

#include "tarnwell/adapter_entries.h"
#include "tarnwell/packet_callback_guard.h"

namespace tarnwell {

queued_packet_filter::queued_packet_filter(packet_callback outgoing, packet_callback incoming)
    : outgoing_(std::move(outgoing)), incoming_(std::move(incoming))
{
    open();
}

queued_packet_filter::queued_packet_filter(std::unique_ptr<platform::control_device> device,
                                           packet_callback outgoing, packet_callback incoming)
    : CTarnwell(std::move(device)), outgoing_(std::move(outgoing)), incoming_(std::move(incoming))
{
    open();
}

void queued_packet_filter::open()
{
    if (!IsDriverOpen())
        throw std::runtime_error("Sieveline driver is not available!");
    build_adapters();
}

queued_packet_filter::~queued_packet_filter()
{
    stop_filter();
}

void queued_packet_filter::build_adapters()
{
    adapters_.clear();
    std::vector<adapter_entry> entries;
    query_adapter_entries(*this, entries);
    for (adapter_entry& e : entries)
        adapters_.push_back(std::make_unique<network_adapter>(
            *this, e.handle, e.mac.data(), std::move(e.internal_name),
            std::move(e.friendly_name), e.medium, e.mtu));
}

bool queued_packet_filter::reconfigure()
{
    if (state_.load() != filter_state::stopped)
        return false;
    build_adapters();
    return true;
}

bool queued_packet_filter::start_filter(std::size_t index)
{
    filter_state expected = filter_state::stopped;
    if (index >= adapters_.size() ||
        !state_.compare_exchange_strong(expected, filter_state::starting))
        return false;
    index_ = index;
    network_adapter& adapter = *adapters_[index];

    try {
        blocks_.reserve(PACKET_BLOCK_COUNT);
        for (std::size_t i = 0; i < PACKET_BLOCK_COUNT; ++i) {
            blocks_.push_back(std::make_unique<packet_block>(adapter.adapter_handle()));
            free_queue_.give(blocks_.back().get());
        }
    } catch (const std::bad_alloc&) {
        free_blocks();
        state_.store(filter_state::stopped);
        return false;
    }
    if (!AttachPacketEvent(adapter.adapter_handle(), adapter.packet_event().native_handle())) {
        free_blocks();
        state_.store(filter_state::stopped);
        return false;
    }
    adapter.set_mode(MODE_TUNNEL_SEND | MODE_TUNNEL_RECV);

    // Running before the threads exist: a thread that looked first would end at once.
    // A thread that cannot be created leaves the others running; stop_filter (or the
    // destructor) ends them.
    state_.store(filter_state::running);
    reader_ = std::thread([this] { read_packets(); });
    processor_ = std::thread([this] { process_packets(); });
    stack_writer_ = std::thread([this] { write_to_stack(); });
    adapter_writer_ = std::thread([this] { write_to_adapter(); });
    return true;
}

void queued_packet_filter::stop_filter()
{
    filter_state expected = filter_state::running;
    if (!state_.compare_exchange_strong(expected, filter_state::stopping))
        return;
    stop();
    state_.store(filter_state::stopped);
}

void queued_packet_filter::stop()
{
    // The reader may wait on the adapter's event: release() signals it (and puts the
    // adapter back to mode 0 with its queue flushed); the others wait on their queues.
    adapters_[index_]->release();
    free_queue_.wake_all();
    read_queue_.wake_all();
    processed_queue_.wake_all();
    stack_written_queue_.wake_all();
    for (std::thread* t : {&reader_, &processor_, &stack_writer_, &adapter_writer_}) {
        if (t->joinable())
            t->join();
    }
    free_blocks();
}

void queued_packet_filter::free_blocks()
{
    free_queue_.clear();
    read_queue_.clear();
    processed_queue_.clear();
    stack_written_queue_.clear();
    blocks_.clear();
}

// Reader thread. A read that comes back full leaves packets in the driver that may never
// signal the event again (the end of a burst), so the next read follows at once instead
// of waiting; the first read that finds the queue empty goes back to the event.
void queued_packet_filter::read_packets()
{
    platform::event& event = adapters_[index_]->packet_event();
    bool queue_may_hold_more = false;
    while (running()) {
        packet_block* block = free_queue_.take(state_);
        if (!block)
            return;
        for (;;) {
            if (!queue_may_hold_more) {
                // A failed wait would fail again at once: end rather than spin.
                if (event.wait(platform::wait_infinite) == platform::wait_result::failed)
                    return;
                event.reset();
            }
            block->read.set_packets_done(0);
            const bool read = ReadPacketBatch(block->read.request());
            queue_may_hold_more = read && block->read.packets_done() == MAXIMUM_PACKET_BLOCK;
            if (read || !running())
                break;
            // The driver is gone: nothing will ever arrive; stop_filter ends the rest.
            if (IsDriverLost())
                return;
        }
        read_queue_.give(block);
    }
}

// Processor thread: one callback per packet, sorted into the block's two send requests.
void queued_packet_filter::process_packets()
{
    while (running()) {
        packet_block* block = read_queue_.take(state_);
        if (!block)
            return;
        const std::uint64_t handle = block->read.request().adapter_handle;
        const std::uint32_t done = block->read.packets_done();
        for (std::uint32_t i = 0; i < done; ++i) {
            INTERMEDIATE_BUFFER& buffer = block->buffers[i];
            const bool outgoing = buffer.direction == DIRECTION_OUTGOING;
            const packet_callback& callback = outgoing ? outgoing_ : incoming_;
            const packet_action action =
                callback ? guarded_packet_callback(callback, handle, buffer, packet_action::drop, callback_failures_)
                         : packet_action::pass;
            if (action == packet_action::pass)
                (outgoing ? block->to_adapter : block->to_stack).append(&buffer);
            else if (action == packet_action::revert)
                (outgoing ? block->to_stack : block->to_adapter).append(&buffer);
        }
        block->read.set_packets_done(0);
        processed_queue_.give(block);
    }
}

// Stack writer thread: a block's packets reach the stack before its packets reach the
// adapter.
void queued_packet_filter::write_to_stack()
{
    while (running()) {
        packet_block* block = processed_queue_.take(state_);
        if (!block)
            return;
        if (block->to_stack.count() != 0) {
            SendBatchToStack(block->to_stack.request());
            block->to_stack.set_count(0);
        }
        stack_written_queue_.give(block);
    }
}

// Adapter writer thread: closes the circle back to the free queue.
void queued_packet_filter::write_to_adapter()
{
    while (running()) {
        packet_block* block = stack_written_queue_.take(state_);
        if (!block)
            return;
        if (block->to_adapter.count() != 0) {
            SendBatchToAdapter(block->to_adapter.request());
            block->to_adapter.set_count(0);
        }
        free_queue_.give(block);
    }
}

}  // namespace tarnwell
