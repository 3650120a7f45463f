#pragma once
// Keeps the host's IPv4 forwarding switched on while a gateway runs. One header, one backend
// per OS.
//
// Windows: EnableRouter with an overlapped record whose manual-reset event the request owns.
// The system forwards while any such request is outstanding and answers the request with
// error_io_pending (997) when it is in place; UnenableRouter ends it, and forwarding goes
// back off once no request is left.
//
// Linux: /proc/sys/net/ipv4/ip_forward of the calling thread's network namespace. Enabling
// remembers the value found there and writes 1; the answer is error_io_pending, the same as
// on Windows, so that callers keep one rule ("requested" means 997). Unenabling writes the
// remembered value back (when it was not 1 already), so a host that forwarded before the
// gateway keeps forwarding afterwards.
//
// Not thread-safe: one owner calls enable and unenable (the gateway's start and stop).

#include <cstdint>
#include <memory>

namespace platform {

class ip_forwarding_request {
public:
    ip_forwarding_request();
    // Does not undo an outstanding request: the owner unenables first.
    ~ip_forwarding_request();
    ip_forwarding_request(const ip_forwarding_request&) = delete;
    ip_forwarding_request& operator=(const ip_forwarding_request&) = delete;

    // error_io_pending when forwarding is now requested, else the error (Win32 codes on both
    // systems: access denied 5, file not found 2, any other failure 31).
    std::uint32_t enable_router();
    // error_success, or the error; a request never enabled is a success with nothing done.
    std::uint32_t unenable_router();

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace platform
