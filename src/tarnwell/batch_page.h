#pragma once
// One PACKET_BATCH_REQUEST in a 4096-byte page on a 4096-byte boundary: the 16-byte header
// and room for MAXIMUM_PACKET_BLOCK buffer addresses, so that one request never spans two
// pages. Addresses are read and written at computed offsets (the record declares one).
//
// Owned by a packet block or a filter slot; used by one thread at a time, no locks.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tarnwell/control_interface.h"

namespace tarnwell {

class batch_page {
public:
    static constexpr std::size_t page_size = 4096;

    // Allocates the page zeroed; throws std::bad_alloc.
    batch_page();
    ~batch_page();
    batch_page(const batch_page&) = delete;
    batch_page& operator=(const batch_page&) = delete;

    PACKET_BATCH_REQUEST& request() { return *reinterpret_cast<PACKET_BATCH_REQUEST*>(page_); }

    void set_adapter(std::uint64_t handle) { std::memcpy(page_, &handle, 8); }
    std::uint32_t count() const { return load_u32(8); }
    void set_count(std::uint32_t count) { std::memcpy(page_ + 8, &count, 4); }
    // Clamped to the page: the driver writes it, and nothing past the page is ever read.
    std::uint32_t packets_done() const
    {
        const std::uint32_t done = load_u32(12);
        return done < MAXIMUM_PACKET_BLOCK ? done : MAXIMUM_PACKET_BLOCK;
    }
    void set_packets_done(std::uint32_t done) { std::memcpy(page_ + 12, &done, 4); }

    // Appends one buffer address; false (nothing written) when the page is full.
    bool append(const INTERMEDIATE_BUFFER* buffer)
    {
        const std::uint32_t n = count();
        if (n >= MAXIMUM_PACKET_BLOCK)
            return false;
        const std::uint64_t address = reinterpret_cast<std::uintptr_t>(buffer);
        std::memcpy(page_ + PACKET_BATCH_REQUEST_HEADER_SIZE + 8u * n, &address, 8);
        set_count(n + 1);
        return true;
    }

    // Fills the page as a read request for `count` consecutive buffers.
    void prepare_read(std::uint64_t handle, INTERMEDIATE_BUFFER* buffers, std::uint32_t count);
    // An empty request for `handle`.
    void prepare_empty(std::uint64_t handle);

private:
    std::uint32_t load_u32(std::size_t offset) const
    {
        std::uint32_t value;
        std::memcpy(&value, page_ + offset, 4);
        return value;
    }

    std::uint8_t* page_;
};

static_assert(packet_batch_request_size(MAXIMUM_PACKET_BLOCK) == batch_page::page_size);

}  // namespace tarnwell
