#pragma once
// The record of one outstanding overlapped operation of the UDP proxy servers: like
// per_io_context, but carrying the datagram's pooled buffer instead of a bare io_buffer.
// `overlapped` is the first member so the server's handler recovers the record from the
// pointer the completion port hands back.

#include <cstddef>
#include <new>
#include <type_traits>

#include "platform/socket.h"
#include "proxy/buffer_pool.h"
#include "proxy/per_io_context.h"

namespace proxy {

struct udp_io_context {
    platform::overlapped overlapped{};
    io_kind kind = io_kind::read;
    void* owner = nullptr;            // the relay socket object; per datagram for the server's receive
    pooled_buffer* buffer = nullptr;  // owned by the record while set
    bool is_local = false;            // on the server's socket (the client side)

    udp_io_context() = default;
    udp_io_context(io_kind k, void* o, bool local) : kind(k), owner(o), is_local(local) {}

    static udp_io_context* from(platform::overlapped* ov) { return reinterpret_cast<udp_io_context*>(ov); }
};
static_assert(std::is_standard_layout_v<udp_io_context>);
static_assert(offsetof(udp_io_context, overlapped) == 0);

}  // namespace proxy
