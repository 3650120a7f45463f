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

// Owns one device handle. The handle is not overlapped: the I/O manager completes each
// DeviceIoControl before it returns, so concurrent callers each get their own result.
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
        DWORD returned = 0;
        if (!::DeviceIoControl(handle_, code, const_cast<void*>(input), input_length, output,
                               output_length, &returned, nullptr))
            return last_error();
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
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        result.error = last_error();
        return result;
    }
    result.device = std::make_unique<win32_device>(handle);
    return result;
}

}  // namespace platform
