#include "driver/packet_pool.h"

#include <cstring>
#include <new>

#include "driver/driver_host.h"

namespace corvflt {

bool packet_pool::init(driver_host& host, std::uint32_t capacity)
{
    void* memory = host.allocate(sizeof(packet_buffer) * capacity);
    if (!memory)
        return false;
    storage_ = static_cast<packet_buffer*>(memory);
    capacity_ = capacity;
    free_head_ = nullptr;
    for (std::uint32_t i = capacity; i-- > 0;) {
        packet_buffer* buffer = new (&storage_[i]) packet_buffer{};
        buffer->next = free_head_;
        free_head_ = buffer;
    }
    free_count_ = capacity;
    in_use_ = 0;
    return true;
}

void packet_pool::destroy(driver_host& host)
{
    if (storage_)
        host.free(storage_);
    storage_ = free_head_ = nullptr;
    capacity_ = free_count_ = in_use_ = 0;
}

packet_buffer* packet_pool::take_locked(bool counted)
{
    packet_buffer* buffer = nullptr;
    {
        exclusive_guard<spin_lock> guard(lock_);
        if (!free_head_)
            return nullptr;
        if (counted && capacity_ - in_use_ <= RESERVE)
            return nullptr;
        buffer = free_head_;
        free_head_ = buffer->next;
        --free_count_;
        if (counted)
            ++in_use_;
    }
    // Zeroed outside the lock: the buffer is ours alone now.
    std::memset(&buffer->record, 0, sizeof(buffer->record));
    buffer->next = nullptr;
    buffer->counted = counted;
    buffer->record.filter_index = 0xFFFFFFFFu;
    const std::uint32_t reserve_mark = counted ? 0 : 1;
    std::memcpy(buffer->record.scratch + SCRATCH_RESERVE_MARK, &reserve_mark, 4);
    return buffer;
}

packet_buffer* packet_pool::take_counted() { return take_locked(true); }

packet_buffer* packet_pool::take_reserve() { return take_locked(false); }

void packet_pool::release(packet_buffer* buffer)
{
    if (!buffer)
        return;
    exclusive_guard<spin_lock> guard(lock_);
    if (buffer->counted)
        --in_use_;
    buffer->next = free_head_;
    free_head_ = buffer;
    ++free_count_;
}

void packet_pool::release_list(packet_list& buffers)
{
    if (buffers.empty())
        return;
    std::uint32_t counted = 0;
    std::uint32_t n = 0;
    for (packet_buffer* b = buffers.head; b; b = b->next) {
        counted += b->counted ? 1 : 0;
        ++n;
    }
    exclusive_guard<spin_lock> guard(lock_);
    in_use_ -= counted;
    buffers.tail->next = free_head_;
    free_head_ = buffers.head;
    free_count_ += n;
    buffers.head = buffers.tail = nullptr;
}

}  // namespace corvflt
