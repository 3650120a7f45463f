#pragma once
// The client side of forwarding: where a client's DNS query sits in its frame, and how the
// stored frame becomes the reply that the client sees coming from the server it asked.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "tarnwell/control_interface.h"

namespace dns {

// The DNS message of a frame, as offset from the start of the frame and length.
struct message_span {
    std::size_t offset = 0;
    std::size_t length = 0;
};

// The UDP payload of an IPv4/UDP frame: after the IP header (with its options) and the UDP
// header, as long as the UDP length field says. std::nullopt -- never a guess -- when the
// frame is not IPv4/UDP, is a fragment, or its lengths do not fit each other, the buffer's
// frame length or the frame area.
std::optional<message_span> locate_message(const tarnwell::INTERMEDIATE_BUFFER& buffer) noexcept;

enum class reply_shape {
    complete,   // the answer as the server sent it
    truncated,  // header and question with TC set: the answer did not fit the frame
};

// Turns `frame`, the stored copy of a client's query frame whose message lies at `query`,
// into the reply carrying `answer`: the answer's bytes with the client's id `client_id`,
// MAC and IP addresses and UDP ports swapped, lengths set, time to live 128, checksums
// refreshed, the buffer's frame length set.
//
// The answer is copied only as far as the frame has room (1514 bytes minus the headers,
// which IP options make longer). An answer that does not fit is not cut mid-record: the
// reply is then the query's header and question with the answer's flags, the TC flag and
// no records, so that the client asks again over TCP. The caller has checked that the
// answer carries the query's question (and so at least a header).
reply_shape build_reply(tarnwell::INTERMEDIATE_BUFFER& frame, const message_span& query, std::uint16_t client_id,
                        const std::uint8_t* answer, std::size_t answer_length) noexcept;

}  // namespace dns
