#pragma once
// nat::fragment_tracker: where the fragments of a translated IPv4 datagram go. Only the first
// fragment carries the ports that select a translation entry; the others carry the same
// (source, destination, protocol, identification) and nothing else to go by. The translation
// remembers, from the first fragment, the address it gave the datagram, and rewrites the
// other fragments by that.
//
// Bounded against floods of first fragments: a fixed number of records, allocated once at
// construction, each valid for a few seconds; a new datagram takes a free or expired record
// of its set, else the oldest. Sets are chosen by a hash keyed with a secret drawn at
// construction, so that an outsider cannot aim datagrams at the set of another's datagram.
// A flood can still push out a real datagram's record; that datagram's later fragments are
// then treated as untracked (the loss of one datagram, never a wrong rewrite).
//
// Threads: any; one lock per tracker, taken only for fragments (whole datagrams never get
// here). Times are milliseconds of a monotonic clock, given by the caller.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "net/ip_address.h"

namespace nat {

// What the fragments of one datagram have in common.
struct fragment_key {
    net::ip_address_v4 source;
    net::ip_address_v4 destination;
    std::uint16_t identification = 0;
    std::uint8_t protocol = 0;

    friend bool operator==(const fragment_key&, const fragment_key&) = default;
};

class fragment_tracker {
public:
    static constexpr std::size_t ways = 4;
    static constexpr std::size_t set_count = 256;  // a power of two
    static constexpr std::size_t capacity = ways * set_count;
    // Fragments of one datagram leave their sender back to back; a datagram whose fragments
    // are seconds apart has lost one on the way anyway.
    static constexpr std::int64_t lifetime_ms = 5000;

    // The hash secret comes from the system's random source.
    fragment_tracker();
    // A fixed secret (tests).
    explicit fragment_tracker(std::uint64_t secret);
    fragment_tracker(const fragment_tracker&) = delete;
    fragment_tracker& operator=(const fragment_tracker&) = delete;

    // Records (or renews) the address the datagram `key` was translated to.
    void remember(const fragment_key& key, net::ip_address_v4 translated, std::int64_t now_ms) noexcept;
    // The address recorded for `key`, unless none or expired.
    std::optional<net::ip_address_v4> find(const fragment_key& key, std::int64_t now_ms) const noexcept;
    void clear() noexcept;
    // Records not yet expired (tests, diagnostics).
    std::size_t size(std::int64_t now_ms) const noexcept;

private:
    struct record {
        fragment_key key;
        net::ip_address_v4 translated;
        std::int64_t created_ms = 0;
        std::uint64_t sequence = 0;  // order of remembering: the oldest gives way first
        bool used = false;
    };

    static bool live(const record& r, std::int64_t now_ms) noexcept
    {
        return r.used && now_ms - r.created_ms <= lifetime_ms && now_ms >= r.created_ms;
    }
    record* set_of(const fragment_key& key) const noexcept;

    const std::uint64_t secret_;
    const std::unique_ptr<record[]> records_;  // set_count sets of `ways` records
    std::uint64_t next_sequence_ = 1;
    mutable std::mutex lock_;                   // guards records_' contents and next_sequence_
};

}  // namespace nat
