// The control device as a Win32 device handle.

#include "platform/control_device.h"

#include <windows.h>

namespace platform {
namespace {

std::uint32_t last_error()
{
    const DWORD error = ::GetLastError();
    // A failure without an error code must still read as a failure.
    return error ? static_cast<std::uint32_t>(error) : error_gen_failure;
}

// One event per calling thread for the requests it issues: the filters call through one
// handle from several threads at once, and a shared OVERLAPPED would let one thread's
// completion wake another.
HANDLE thread_request_event()
{
    struct holder {
        HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ~holder()
        {
            if (event)
                ::CloseHandle(event);
        }
    };
    thread_local holder h;
    return h.event;
}

// Owns one overlapped device handle. The driver completes almost every request before
// DeviceIoControl returns; the pass-through OID requests may pend, and then this call waits
// for that request alone.
class win32_device final : public control_device {
public:
    explicit win32_device(HANDLE handle) : handle_(handle) {}
    ~win32_device() override { ::CloseHandle(handle_); }

    std::uint32_t control(std::uint32_t code, const void* input, std::uint32_t input_length,
                          void* output, std::uint32_t output_length,
                          std::uint32_t* bytes_returned) override
    {
        if (bytes_returned)
            *bytes_returned = 0;
        if ((input_length && !input) || (output_length && !output))
            return error_invalid_parameter;
        OVERLAPPED overlapped{};
        overlapped.hEvent = thread_request_event();
        if (!overlapped.hEvent)
            return last_error();
        DWORD returned = 0;
        if (!::DeviceIoControl(handle_, code, const_cast<void*>(input), input_length, output,
                               output_length, &returned, &overlapped)) {
            if (::GetLastError() != ERROR_IO_PENDING)
                return last_error();
            if (!::GetOverlappedResult(handle_, &overlapped, &returned, TRUE))
                return last_error();
        }
        if (bytes_returned)
            *bytes_returned = static_cast<std::uint32_t>(returned);
        return error_success;
    }

private:
    const HANDLE handle_;
};

}  // namespace

open_device_result open_control_device(const std::string& path)
{
    open_device_result result;
    // No access rights are needed (every control code is access-any), and sharing stays open
    // so that the gateway's several driver clients can hold the device at the same time.
    HANDLE handle = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        result.error = last_error();
        return result;
    }
    result.device = std::make_unique<win32_device>(handle);
    return result;
}

}  // namespace platform
