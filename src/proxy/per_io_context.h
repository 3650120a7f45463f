#pragma once
// The record of one outstanding overlapped socket operation of the proxy servers and the DNS
// proxy service. Its `overlapped` is the first member, so a completion handler recovers the
// record from the overlapped pointer the completion port hands back.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "platform/socket.h"

namespace proxy {

enum class io_kind : std::uint32_t {
    read = 0,             // relay receive
    write = 1,            // relay send
    negotiate_read = 2,   // upstream proxy negotiation receive
    negotiate_write = 3,  // upstream proxy negotiation send
    owned_write = 4,      // a send whose record and buffer exist for it alone; freed when done
    connect = 5,          // the outgoing connect of a relayed TCP connection
    accept = 6,           // an accept posted on a TCP proxy server's listening socket
};

struct per_io_context {
    platform::overlapped overlapped{};
    io_kind kind = io_kind::read;
    void* owner = nullptr;  // the socket object that issued the operation
    platform::io_buffer buffer{};
    bool is_local = false;  // issued on the accepted (client) socket

    per_io_context() = default;
    per_io_context(io_kind k, void* o, bool local) : kind(k), owner(o), is_local(local) {}

    static per_io_context* from(platform::overlapped* ov)
    {
        return reinterpret_cast<per_io_context*>(ov);
    }
    template <class T>
    T* owner_as() const
    {
        return static_cast<T*>(owner);
    }

    bool is_receive() const { return kind == io_kind::read || kind == io_kind::negotiate_read; }
};
static_assert(std::is_standard_layout_v<per_io_context>);
static_assert(offsetof(per_io_context, overlapped) == 0);

// An owned_write: a copy of `data` and its record, allocated together without throwing.
// Null when memory is short (the caller then treats the send as failed).
inline per_io_context* make_owned_write(void* owner, bool is_local, const void* data,
                                        std::uint32_t length)
{
    auto* ctx = new (std::nothrow) per_io_context(io_kind::owned_write, owner, is_local);
    if (!ctx)
        return nullptr;
    ctx->buffer.buffer = new (std::nothrow) char[length == 0 ? 1 : length];
    if (!ctx->buffer.buffer) {
        delete ctx;
        return nullptr;
    }
    std::memcpy(ctx->buffer.buffer, data, length);
    ctx->buffer.length = length;
    return ctx;
}

inline void free_owned_write(per_io_context* ctx)
{
    if (!ctx)
        return;
    delete[] ctx->buffer.buffer;
    delete ctx;
}

}  // namespace proxy
