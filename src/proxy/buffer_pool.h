#pragma once
// Datagram buffers of the UDP proxy servers, recycled by size class so that relaying a
// datagram allocates no storage once the pool is warm.
//
// One pool per server, shared with the server's relay socket objects (not owned by them).
// Classes of 32, 64, 128, 256, 512, 1024, 2048 and 65536 bytes; a request is served by the
// smallest class that holds it, from the class's free list or newly allocated. At most 100
// idle buffers are kept per class. Thread-safe (one mutex over the lists).

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/socket.h"

namespace proxy {

// A buffer handed out by the pool: `buffer.length` is the size asked for, `buffer.buffer`
// points at the owned storage of `capacity` bytes.
struct pooled_buffer {
    platform::io_buffer buffer{};
    std::uint32_t capacity = 0;
    std::unique_ptr<char[]> storage;
};

class buffer_pool {
public:
    static constexpr std::array<std::uint32_t, 8> class_sizes = {32, 64, 128, 256, 512, 1024, 2048, 65536};
    static constexpr std::size_t max_idle_per_class = 100;

    // The free lists get their full room now, so release() never allocates.
    buffer_pool();
    buffer_pool(const buffer_pool&) = delete;
    buffer_pool& operator=(const buffer_pool&) = delete;

    // Null for a request above 65536 bytes or when memory is short.
    std::unique_ptr<pooled_buffer> acquire(std::uint32_t size);
    void release(std::unique_ptr<pooled_buffer> buffer);

    // Idle buffers of the class that serves `size`; for tests and diagnostics.
    std::size_t idle_count(std::uint32_t size);

private:
    static int class_of(std::uint32_t size);

    std::mutex mutex_;
    std::array<std::vector<std::unique_ptr<pooled_buffer>>, class_sizes.size()> idle_;
};

}  // namespace proxy
