#pragma once
// Preallocated packet buffers. The counted/reserve rule keeps 203 buffers back so that
// packets that only pass through can still be judged while client queues hold the rest:
// only counted buffers are ever queued, so at most 1845 packets wait in all queues together.
//
// Owned by the driver; taken and freed from any data-path or control thread under its lock.

#include <cstdint>

#include "driver/host_primitives.h"
#include "tarnwell/control_interface.h"

namespace corvflt {

class driver_host;
struct packet_list;

// One buffer: a queue link kept outside the client-visible record (so that no pointer ever
// reaches a client) and the record in INTERMEDIATE_BUFFER layout.
struct packet_buffer {
    packet_buffer* next;
    bool counted;
    tarnwell::INTERMEDIATE_BUFFER record;
};

inline constexpr std::uint32_t SCRATCH_VERDICT = 0;       // u32 in record.scratch
inline constexpr std::uint32_t SCRATCH_RESERVE_MARK = 4;  // u32 in record.scratch

class packet_pool {
public:
    static constexpr std::uint32_t CAPACITY = 2048;
    static constexpr std::uint32_t RESERVE = 203;

    bool init(driver_host& host, std::uint32_t capacity = CAPACITY);
    void destroy(driver_host& host);

    // Succeeds only while capacity - in_use > RESERVE.
    packet_buffer* take_counted();
    // Succeeds while any buffer is free; does not count.
    packet_buffer* take_reserve();
    void release(packet_buffer* buffer);
    // Returns every buffer of `buffers` under one lock acquisition and empties the list.
    void release_list(packet_list& buffers);

    std::uint32_t in_use() const { return in_use_; }
    std::uint32_t free_count() const { return free_count_; }

private:
    packet_buffer* take_locked(bool counted);

    spin_lock lock_;
    packet_buffer* storage_ = nullptr;
    packet_buffer* free_head_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t in_use_ = 0;
    std::uint32_t free_count_ = 0;
};

// FIFO of packet buffers through their `next` links; no locking of its own.
struct packet_list {
    packet_buffer* head = nullptr;
    packet_buffer* tail = nullptr;

    void push_back(packet_buffer* buffer)
    {
        buffer->next = nullptr;
        if (tail)
            tail->next = buffer;
        else
            head = buffer;
        tail = buffer;
    }
    void push_front(packet_buffer* buffer)
    {
        buffer->next = head;
        head = buffer;
        if (!tail)
            tail = buffer;
    }
    packet_buffer* pop_front()
    {
        packet_buffer* buffer = head;
        if (buffer) {
            head = buffer->next;
            if (!head)
                tail = nullptr;
            buffer->next = nullptr;
        }
        return buffer;
    }
    void append(packet_list& other)
    {
        if (!other.head)
            return;
        if (tail)
            tail->next = other.head;
        else
            head = other.head;
        tail = other.tail;
        other.head = other.tail = nullptr;
    }
    bool empty() const { return head == nullptr; }
};

}  // namespace corvflt
