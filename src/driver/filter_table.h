#pragma once
// The static filter table: entries tried in order against captured packets; the first that
// matches decides (pass, drop, or leave it to the adapter mode) and counts the packet.
//
// Owned by the driver. Matching runs on data-path threads under the shared lock; set, reset
// and copy-out run on control threads under the exclusive lock. Counters are atomics so that
// matching threads can count under the shared lock.

#include <atomic>
#include <cstdint>

#include "driver/host_primitives.h"
#include "tarnwell/control_interface.h"

namespace corvflt {

class driver_host;

inline constexpr std::uint32_t FILTER_RESULT_NONE = tarnwell::FILTER_ACTION_REDIRECT;

struct filter_entry {
    tarnwell::STATIC_FILTER record;  // counters in the record are not used while installed
    std::atomic<std::uint64_t> incoming_packets;
    std::atomic<std::uint64_t> incoming_bytes;
    std::atomic<std::uint64_t> outgoing_packets;
    std::atomic<std::uint64_t> outgoing_bytes;
};

class filter_table {
public:
    // Replaces the table with `count` entries read from `records` (181 bytes each, unaligned)
    // in one step; false when memory runs out (no table then).
    bool set(driver_host& host, const std::uint8_t* records, std::uint32_t count,
             std::uint32_t now);
    void reset(driver_host& host);
    std::uint32_t size();
    // Writes the table as a FILTER_TABLE into `out`; false when `out_length` is too small.
    // Without a table writes a u32 0 (needs 4 bytes). Optionally restarts the statistics.
    bool copy_out(std::uint8_t* out, std::uint32_t out_length, bool reset_stats,
                  std::uint32_t now);

    // FILTER_ACTION_PASS / DROP, or FILTER_RESULT_NONE when no entry matched (or no table).
    std::uint32_t match(std::uint64_t adapter_handle, std::uint32_t direction,
                        const std::uint8_t* frame, std::uint32_t length,
                        std::uint32_t* matched_index);

private:
    void free_locked(driver_host& host);

    rw_spin_lock lock_;
    filter_entry* entries_ = nullptr;
    std::uint32_t count_ = 0;
};

// The transport header located in a frame; exposed for tests of the header walk.
struct packet_layers {
    std::uint16_t ethertype = 0;
    std::uint32_t network_offset = 0;
    std::uint8_t protocol = 0;         // upper-layer protocol (IPv6: after extension headers)
    std::uint32_t transport_offset = 0;  // 0 when not found
};
packet_layers parse_layers(const std::uint8_t* frame, std::uint32_t length);

}  // namespace corvflt
