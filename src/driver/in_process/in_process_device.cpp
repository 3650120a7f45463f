#include "driver/in_process/in_process_device.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "driver/driver_constants.h"

namespace corvflt::in_process {
namespace {

// Every request the filters issue on their hot path (batches of 510 packets, modes,
// events) fits here; only WAN links, OID records and filter tables use the heap.
constexpr std::size_t stack_buffer_bytes = 4096;

}  // namespace

in_process_device::in_process_device(driver& core, in_process_host& host)
    : core_(core), host_(host), open_handle_(reinterpret_cast<std::uintptr_t>(this))
{
    core_.open_handle(open_handle_);
}

in_process_device::~in_process_device() { core_.close_handle(open_handle_); }

std::uint32_t in_process_device::control(std::uint32_t code, const void* input,
                                         std::uint32_t input_length, void* output,
                                         std::uint32_t output_length,
                                         std::uint32_t* bytes_returned)
{
    if (bytes_returned)
        *bytes_returned = 0;
    if ((input_length && !input) || (output_length && !output))
        return platform::error_invalid_parameter;

    const std::size_t size = std::max(input_length, output_length);
    alignas(16) std::uint8_t local[stack_buffer_bytes];
    std::unique_ptr<std::uint8_t[]> heap;
    std::uint8_t* system_buffer = local;
    if (size > sizeof local) {
        heap.reset(new (std::nothrow) std::uint8_t[size]);
        if (!heap)
            return platform::error_no_system_resources;
        system_buffer = heap.get();
    }
    // Zeroed so that no stale bytes of an earlier request can leak into an output.
    std::memset(system_buffer, 0, size);
    if (input_length)
        std::memcpy(system_buffer, input, input_length);

    const std::uint64_t token = host_.next_request_token();
    std::uint32_t returned = 0;
    ntstatus status = core_.dispatch(open_handle_, code, system_buffer, input_length,
                                     output_length, &returned, token);
    if (status == STATUS_PENDING) {
        const auto done = host_.wait_for_completion(token);
        status = done.status;
        returned = done.bytes;
    }
    const std::uint32_t error = platform::ntstatus_to_win32(status);
    if (error != platform::error_success)
        return error;
    returned = std::min(returned, output_length);
    if (returned)
        std::memcpy(output, system_buffer, returned);
    if (bytes_returned)
        *bytes_returned = returned;
    return platform::error_success;
}

}  // namespace corvflt::in_process
