#pragma once
// The driver's control device as user mode sees it: open by name, then synchronous control
// requests. One header, one backend per OS; tests substitute an in-process device through
// the abstract class.
//
// Errors are Win32 error codes on every backend (platform/ntstatus_to_win32.h), so the code
// above compares the same numbers everywhere. Nothing throws.
//
// Windows: CreateFileA(path, GENERIC_READ | GENERIC_WRITE, no sharing, OPEN_EXISTING) and
// DeviceIoControl without OVERLAPPED; errors are GetLastError values.
//
// Linux: "\\.\NAME" is the Unix SOCK_SEQPACKET socket $CORVFLT_DEVICE_DIR/NAME (default
// directory /run/corvflt) served by the corvflt host daemon. One connection is one open
// handle. A name that is empty or holds '/' or '\' fails with ERROR_INVALID_NAME; another
// path form fails with ERROR_PATH_NOT_FOUND. A missing socket, or one nobody listens on,
// fails with ERROR_FILE_NOT_FOUND, as an absent driver does on Windows.
//
// Wire protocol (Linux), all integers little-endian:
//   request: one message  u32 control code | u32 output buffer length | input bytes
//   reply:   one message  u32 NTSTATUS | u32 bytes returned | output bytes
//                         (bytes returned <= the request's output length); when it carries
//                         fewer output bytes than returned, the rest follows in further
//                         messages of output bytes only (large outputs go out in chunks)
// The daemon serves a connection's requests in order and replies in order, so replies
// need no tag: the client reads a request's reply before the next request's, and a posted
// request's reply (see post()) is read, and dropped, before the reply of whatever request
// follows it. Requests from several threads are serialised per connection. A non-success
// status maps to a Win32 error by ntstatus_to_win32 and the call reports 0 bytes. A reply
// shorter than 8 bytes, one carrying more bytes than it claims, one claiming more than the
// output length, or a continuation that overruns or never comes (the daemon closes), is a
// protocol fault: ERROR_GEN_FAILURE, and the connection is dropped. A connection the
// daemon closed (or that failed) answers this and every later request with
// ERROR_DEVICE_NOT_CONNECTED, at once.
//
// Message size limit: a Unix SEQPACKET message must fit into the SENDER's send buffer (the
// kernel refuses larger ones with EMSGSIZE; the receiver's SO_RCVBUF does not matter), and
// a message of several MiB needs that much contiguous kernel memory. The daemon therefore
// sends replies in chunks of 64 KiB of output. The client raises its own SO_SNDBUF to 1 MiB
// for large inputs (filter tables); an input that still does not fit fails with
// ERROR_NO_SYSTEM_RESOURCES.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ntstatus_to_win32.h"

namespace platform {

// One open handle on the control device. Implementations let any number of threads call
// control() at once; each call gets its own result.
class control_device {
public:
    virtual ~control_device() = default;

    // Issues one request and waits for its completion. Returns error_success or a Win32
    // error. `*bytes_returned` (may be null) receives the output bytes written, 0 on failure.
    virtual std::uint32_t control(std::uint32_t code, const void* input,
                                  std::uint32_t input_length, void* output,
                                  std::uint32_t output_length,
                                  std::uint32_t* bytes_returned) = 0;

    // Issues a request without output whose completion the caller does not wait for:
    // requests on one handle complete in the order they were issued, so everything issued
    // later (on any thread) sees its effect, and memory it names must stay untouched until
    // a later control() or complete_posted() returns. Its own result is not reported; an
    // error here means it was not issued. This default completes it at once; the Linux
    // backend returns once the request is sent, so that the caller's next request overlaps
    // with it.
    virtual std::uint32_t post(std::uint32_t code, const void* input, std::uint32_t input_length)
    {
        return control(code, input, input_length, nullptr, 0, nullptr);
    }
    // Returns once every request posted so far has completed.
    virtual void complete_posted() {}
};

struct open_device_result {
    std::unique_ptr<control_device> device;  // null on failure
    std::uint32_t error = error_success;
};

// Opens the OS control device named `path` (for the driver: "\\.\CORVFLT").
open_device_result open_control_device(const std::string& path);

}  // namespace platform
