#pragma once
// A NETLINK_ROUTE socket for request/reply and dump exchanges with the kernel, and the
// builder of one request. Internal to the Linux backend of platform/interface_table.h.
// One socket per lookup: it lives in the network namespace of the thread that opened it.

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace platform::netlink {

// One request message: header, family header, attributes. Fixed capacity; an attribute
// that does not fit is refused.
class request {
public:
    request(std::uint16_t type, std::uint16_t flags, const void* family_header,
            std::size_t family_header_length);
    bool add_attribute(std::uint16_t type, const void* data, std::size_t length);
    nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(buffer_); }

private:
    alignas(nlmsghdr) unsigned char buffer_[256] = {};
};

// Owns one bound NETLINK_ROUTE socket. Used by one thread at a time.
class route_socket {
public:
    // `groups`: multicast groups to join (0 for a lookup socket).
    explicit route_socket(std::uint32_t groups = 0);
    ~route_socket();
    route_socket(const route_socket&) = delete;
    route_socket& operator=(const route_socket&) = delete;

    // errno of a failed open, 0 when usable.
    int error() const { return error_; }
    int fd() const { return fd_; }

    // Sends `message` and hands every reply message of it to `on_message` until a dump ends
    // or the reply (or acknowledgement) of a plain request arrives. Returns 0 or an errno:
    // the kernel's error for the request, EAGAIN when a dump was interrupted by a change
    // (the caller starts over), EPROTO for a malformed or truncated reply.
    int exchange(nlmsghdr* message, const std::function<void(const nlmsghdr&)>& on_message);

private:
    int fd_ = -1;
    int error_ = 0;
    std::uint32_t port_ = 0;
    std::uint32_t sequence_ = 0;
};

// Walks the attributes of `length` bytes at `first`; `on_attribute` gets each well-formed
// one (type without the nested/byte-order flags, payload, payload length).
void for_each_attribute(const rtattr* first, std::size_t length,
                        const std::function<void(std::uint16_t, const void*, std::size_t)>&
                            on_attribute);

// Win32 error for an errno of a netlink exchange.
std::uint32_t win32_error_from_errno(int error);

}  // namespace platform::netlink
