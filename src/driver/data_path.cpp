// Capture and judgement of sent and received frames, delivery to queues or shared sections,
// and injection of client frames.
#include <atomic>
#include <cstring>

#include "driver/driver.h"
#include "driver/pause_counter_hold.h"

namespace corvflt {
namespace {

using namespace tarnwell;

constexpr std::uint32_t RECEIVE_FLAGS = MODE_TUNNEL_RECV | MODE_LISTEN_RECV | MODE_DIVERT_FOREIGN_UNICAST;
constexpr std::uint32_t SEND_FLAGS = MODE_TUNNEL_SEND | MODE_LISTEN_SEND;
// A client that scribbles on a section header must not keep a data-path thread spinning on
// that section: after this many failed exchanges the walk moves on.
constexpr std::uint32_t SECTION_RETRIES = 4;

void set_verdict(packet_buffer* buffer, std::uint32_t verdict)
{
    std::memcpy(buffer->record.scratch + SCRATCH_VERDICT, &verdict, 4);
}

}  // namespace

void driver::on_stack_send(adapter_context* adapter, const frame_view* frames,
                           std::uint32_t count, frame_fate* fates)
{
    pause_counter_hold hold(adapter->outstanding_sends, 1);
    judge_chain(adapter, frames, count, fates, DIRECTION_OUTGOING);
}

void driver::on_wire_receive(adapter_context* adapter, const frame_view* frames,
                             std::uint32_t count, frame_fate* fates)
{
    pause_counter_hold hold(adapter->outstanding_indications, 1);
    judge_chain(adapter, frames, count, fates, DIRECTION_INCOMING);
}

void driver::judge_chain(adapter_context* adapter, const frame_view* frames, std::uint32_t count,
                         frame_fate* fates, std::uint32_t direction)
{
    if (!adapter->running()) {
        for (std::uint32_t i = 0; i < count; ++i)
            fates[i] = frame_fate::consumed;
        return;
    }
    // The generation is read before the mode: a mode change or flush that lands while the
    // chain is judged bumps it, and delivery then sees the chain as stale.
    const std::uint32_t generation = adapter->mode_generation.load(std::memory_order_acquire);
    const std::uint32_t mode = adapter->mode.load(std::memory_order_acquire);
    packet_list queued;
    for (std::uint32_t i = 0; i < count; ++i)
        fates[i] = process_frame(adapter, frames[i], direction, mode, queued);
    // One delivery per chain: one queue lock and one wake-up of the client however many
    // frames the host handed over.
    if (queued.empty() || deliver(adapter, queued, generation))
        return;
    // Judged under a mode that was changed or flushed meanwhile: whoever changed it has
    // returned believing the queue empty, so nothing of this chain may enter it. Its frames
    // go on as if the filter were not there.
    packet_pool_.release_list(queued);
    for (std::uint32_t i = 0; i < count; ++i)
        fates[i] = frame_fate::pass;
}

frame_fate driver::process_frame(adapter_context* adapter, const frame_view& frame,
                                 std::uint32_t direction, std::uint32_t mode,
                                 packet_list& queued)
{
    if (mode == 0)
        return frame_fate::pass;
    const bool receive = direction == DIRECTION_INCOMING;
    if (receive && frame.loopback && !(mode & MODE_LOOPBACK))
        return frame_fate::pass;
    if (!frame.data || frame.length == 0)
        return frame_fate::consumed;
    const bool ip_medium = is_ip_medium(adapter->medium);
    if (receive && frame.loopback && !ip_medium && (mode & MODE_LOOPBACK_DROP_UNICAST)) {
        // Shorter than an Ethernet header: no destination to prove it is not unicast.
        if (frame.length < ETHER_HEADER_SIZE || (frame.data[0] & 1) == 0 ||
            adapter->medium == NDIS_MEDIUM_WAN)
            return frame_fate::consumed;
    }
    if (!(mode & (receive ? RECEIVE_FLAGS : SEND_FLAGS)))
        return frame_fate::pass;  // nothing in the mode could change the verdict

    const std::uint32_t limit = ip_medium ? MAX_TOTAL_SIZE - ETHER_HEADER_SIZE : MAX_TOTAL_SIZE;
    if (frame.length > limit) {
        if (receive) {
            // The adapter coalesced segments although told not to: tell it again.
            disable_coalescing(adapter->offload_parameters);
            send_offload_parameters(adapter);
            return frame_fate::pass;
        }
        // A client could only get a truncated copy; dropping it is the honest outcome.
        return frame_fate::consumed;
    }

    packet_buffer* buffer = packet_pool_.take_counted();
    if (!buffer)
        buffer = packet_pool_.take_reserve();
    if (!buffer)
        return frame_fate::consumed;
    INTERMEDIATE_BUFFER& record = buffer->record;
    if (ip_medium) {
        std::memcpy(record.frame + ETHER_HEADER_SIZE, frame.data, frame.length);
        record.length = frame.length + ETHER_HEADER_SIZE;
        record.frame[12] = static_cast<std::uint8_t>(frame.frame_type >> 8);
        record.frame[13] = static_cast<std::uint8_t>(frame.frame_type);
    } else {
        std::memcpy(record.frame, frame.data, frame.length);
        record.length = frame.length;
    }
    record.ieee8021q = frame.ieee8021q;
    record.direction = direction;
    const std::uint32_t verdict = decide(adapter, buffer, mode, direction);
    set_verdict(buffer, verdict);

    switch (verdict) {
    case VERDICT_PASS:
        packet_pool_.release(buffer);
        return frame_fate::pass;
    case VERDICT_COPY:
        if (buffer->counted) {
            queued.push_back(buffer);
        } else {
            packet_pool_.release(buffer);
        }
        return frame_fate::pass;
    case VERDICT_DIVERT:
    case VERDICT_DIVERT_FOREIGN:
        if (buffer->counted) {
            queued.push_back(buffer);
        } else {
            packet_pool_.release(buffer);  // no counted buffer left: the packet is lost
        }
        return frame_fate::consumed;
    default:
        packet_pool_.release(buffer);
        return frame_fate::consumed;
    }
}

std::uint32_t driver::decide(adapter_context* adapter, packet_buffer* buffer, std::uint32_t mode,
                             std::uint32_t direction)
{
    INTERMEDIATE_BUFFER& record = buffer->record;
    const bool receive = direction == DIRECTION_INCOMING;
    const std::uint32_t tunnel = receive ? MODE_TUNNEL_RECV : MODE_TUNNEL_SEND;
    const std::uint32_t listen = receive ? MODE_LISTEN_RECV : MODE_LISTEN_SEND;
    if (mode & (tunnel | listen)) {
        std::uint32_t index = record.filter_index;
        const std::uint32_t action =
            filter_table_.match(adapter->handle(), direction, record.frame, record.length, &index);
        record.filter_index = index;
        if (action == FILTER_ACTION_PASS)
            return VERDICT_PASS;
        if (action == FILTER_ACTION_DROP)
            return VERDICT_DROP;
    }
    if (mode & tunnel)
        return VERDICT_DIVERT;
    if (receive && (mode & MODE_DIVERT_FOREIGN_UNICAST) && record.length >= 6 &&
        (record.frame[0] & 1) == 0) {
        bool foreign;
        {
            exclusive_guard<spin_lock> guard(adapter->wan_lock);
            foreign = std::memcmp(record.frame, adapter->mac_address, 6) != 0;
        }
        if (foreign)
            return VERDICT_DIVERT_FOREIGN;
    }
    if (mode & listen)
        return VERDICT_COPY;
    return VERDICT_PASS;
}

bool driver::deliver(adapter_context* adapter, packet_list& buffers, std::uint32_t generation)
{
    if (sections_active_.load(std::memory_order_acquire)) {
        deliver_to_sections(adapter, buffers);
        return true;
    }
    std::uint32_t n = 0;
    for (packet_buffer* b = buffers.head; b; b = b->next)
        ++n;
    host_event* event;
    {
        exclusive_guard<spin_lock> guard(adapter->queue_lock);
        if (adapter->mode_generation.load(std::memory_order_relaxed) != generation)
            return false;
        adapter->queue.append(buffers);
        adapter->queue_count.fetch_add(n, std::memory_order_relaxed);
        event = hold_packet_event(adapter);
    }
    signal_held_event(adapter, event);
    return true;
}

// Under queue_lock: the packet event, kept referenced until signal_held_event. Signalling
// after the lock is dropped keeps a host's signal (a system call in user-mode hosts) out of
// the section the client's dequeue spins on.
host_event* driver::hold_packet_event(adapter_context* adapter)
{
    host_event* event = adapter->packet_event;
    if (event)
        adapter->event_signallers.fetch_add(1, std::memory_order_relaxed);
    return event;
}

void driver::signal_held_event(adapter_context* adapter, host_event* event)
{
    if (!event)
        return;
    host_.signal_event(event);
    adapter->event_signallers.fetch_sub(1, std::memory_order_release);
}

// After the events were swapped out under queue_lock: no signaller still uses them once
// this returns.
void driver::wait_for_event_signallers(adapter_context* adapter)
{
    while (adapter->event_signallers.load(std::memory_order_acquire) != 0)
        host_cpu_relax();
}

void driver::deliver_to_sections(adapter_context* adapter, packet_list& buffers)
{
    {
        exclusive_guard<spin_lock> guard(list_lock_);
        for (shared_section& section : sections_) {
            if (buffers.empty())
                break;
            if (!section.mapping)
                continue;
            // Header words: write index | writer mark << 16 at offset 0, state at offset 4.
            std::atomic_ref<std::uint32_t> header(*reinterpret_cast<std::uint32_t*>(section.mapping));
            std::atomic_ref<std::uint32_t> state(*reinterpret_cast<std::uint32_t*>(section.mapping + 4));
            for (std::uint32_t attempt = 0; attempt < SECTION_RETRIES && !buffers.empty(); ++attempt) {
                bool full = false;
                bool failed = false;
                while (!buffers.empty()) {
                    if (state.load(std::memory_order_acquire) != 0)
                        break;
                    std::uint32_t seen = header.load(std::memory_order_acquire);
                    const std::uint32_t index = seen & 0xFFFF;
                    if (index >= section.capacity) {
                        full = true;
                        break;
                    }
                    if ((seen >> 16) != 0) {
                        failed = true;
                        break;
                    }
                    const std::uint32_t marked = (index + 1) | (1u << 16);
                    if (!header.compare_exchange_strong(seen, marked, std::memory_order_acq_rel)) {
                        failed = true;
                        break;
                    }
                    packet_buffer* b = buffers.pop_front();
                    const std::uint64_t handle = adapter->handle();
                    std::memcpy(b->record.link, &handle, 8);
                    std::memcpy(section.mapping + sizeof(SHARED_SECTION_HEADER) +
                                    std::size_t{index} * sizeof(INTERMEDIATE_BUFFER),
                                &b->record, sizeof(INTERMEDIATE_BUFFER));
                    std::uint32_t expected = marked;
                    if (!header.compare_exchange_strong(expected, index + 1,
                                                        std::memory_order_acq_rel)) {
                        std::memset(b->record.link, 0, 8);
                        buffers.push_front(b);
                        failed = true;
                        break;
                    }
                    packet_pool_.release(b);
                }
                if (buffers.empty() || full)
                    break;
                (void)failed;
                std::uint32_t expected = 1;
                if (state.compare_exchange_strong(expected, 2, std::memory_order_acq_rel))
                    break;
                if (expected != 0)
                    break;  // state 2 or anything else: move on
                // state 0 again: the reader reopened the section, try it once more
            }
        }
    }
    packet_pool_.release_list(buffers);  // fitted into no section
    host_event* event;
    {
        exclusive_guard<spin_lock> guard(adapter->queue_lock);
        event = hold_packet_event(adapter);
    }
    signal_held_event(adapter, event);
}

bool driver::prepare_injection(adapter_context* adapter, bool /*to_stack*/,
                               packet_buffer* descriptor, frame_view* view)
{
    const INTERMEDIATE_BUFFER& record = descriptor->record;
    // An empty frame is refused both ways: the stack has nothing to receive either.
    if (record.length == 0 || record.length > MAX_TOTAL_SIZE)
        return false;
    *view = frame_view{};
    view->ieee8021q = record.ieee8021q;
    if (is_ip_medium(adapter->medium)) {
        if (record.length <= ETHER_HEADER_SIZE)
            return false;
        view->data = record.frame + ETHER_HEADER_SIZE;
        view->length = record.length - ETHER_HEADER_SIZE;
        view->frame_type = static_cast<std::uint16_t>(record.frame[12] << 8 | record.frame[13]);
    } else {
        view->data = record.frame;
        view->length = record.length;
    }
    return true;
}

void driver::inject_chain(adapter_context* adapter, bool to_stack, const frame_view* views,
                          std::uint32_t count)
{
    if (count == 0)
        return;
    if (to_stack) {
        pause_counter_hold hold(adapter->outstanding_indications, count);
        host_.indicate_to_stack(adapter->host_adapter, views, count);
    } else {
        pause_counter_hold hold(adapter->outstanding_sends, count);
        host_.send_to_adapter(adapter->host_adapter, views, count);
    }
}

}  // namespace corvflt
