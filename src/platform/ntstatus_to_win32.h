#pragma once
// The Win32 error a failed DeviceIoControl reports for the NTSTATUS its request completed
// with (the subset of the system's own translation that the driver can produce). Shared by
// every control device that does not go through the Windows I/O manager: the Linux socket
// device and the in-process device, so callers see the same codes on every backend.

#include <cstdint>

#include "platform/win32_errors.h"

namespace platform {

// Success and informational statuses (severity bits 00 and 01) make DeviceIoControl succeed.
// STATUS_PENDING is reported as ERROR_IO_PENDING: a synchronous device must never leave a
// request pending, and the caller must not read an output that is not there yet.
// Statuses the table does not know become ERROR_GEN_FAILURE.
constexpr std::uint32_t ntstatus_to_win32(std::uint32_t status)
{
    switch (status) {
    case 0x00000103u:  // STATUS_PENDING
        return error_io_pending;
    case 0x80000005u:  // STATUS_BUFFER_OVERFLOW
        return error_more_data;
    case 0xC0000001u:  // STATUS_UNSUCCESSFUL
        return error_gen_failure;
    case 0xC000000Du:  // STATUS_INVALID_PARAMETER
        return error_invalid_parameter;
    case 0xC0000010u:  // STATUS_INVALID_DEVICE_REQUEST
        return error_invalid_function;
    case 0xC0000017u:  // STATUS_NO_MEMORY
        return error_not_enough_memory;
    case 0xC0000022u:  // STATUS_ACCESS_DENIED
        return error_access_denied;
    case 0xC0000023u:  // STATUS_BUFFER_TOO_SMALL
        return error_insufficient_buffer;
    case 0xC000009Au:  // STATUS_INSUFFICIENT_RESOURCES
        return error_no_system_resources;
    case 0xC00000BBu:  // STATUS_NOT_SUPPORTED, also NDIS_STATUS_NOT_SUPPORTED
        return error_not_supported;
    case 0xC000020Au:  // STATUS_ADDRESS_ALREADY_EXISTS (a second shared-section owner)
        return error_dup_name;
    default:
        break;
    }
    if ((status >> 30) <= 1u)
        return error_success;
    return error_gen_failure;
}

}  // namespace platform
