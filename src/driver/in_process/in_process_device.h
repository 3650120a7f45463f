#pragma once
// One open handle on a driver core that runs in this process (see in_process_host.h): the
// in-process stand-in for the OS control device, so that the driver client, the packet
// filters and the gateways can be tested without the driver or the Linux daemon.
//
// Construction opens the handle (driver::open_handle), destruction closes it -- the last
// close resets adapter modes, flushes queues and releases events, as on the real device.
// control() behaves as DeviceIoControl on the driver: input copied into a system buffer of
// max(input, output) bytes, the output copied back, statuses mapped to Win32 errors by
// platform::ntstatus_to_win32; a request the core leaves pending (OID requests) is waited
// for. Any number of threads may call control() at once.

#include <cstdint>

#include "driver/driver.h"
#include "driver/in_process/in_process_host.h"
#include "platform/control_device.h"

namespace corvflt::in_process {

class in_process_device final : public platform::control_device {
public:
    // `core` must have been constructed with `host` and loaded; both outlive the device.
    in_process_device(driver& core, in_process_host& host);
    ~in_process_device() override;
    in_process_device(const in_process_device&) = delete;
    in_process_device& operator=(const in_process_device&) = delete;

    std::uint32_t control(std::uint32_t code, const void* input, std::uint32_t input_length,
                          void* output, std::uint32_t output_length,
                          std::uint32_t* bytes_returned) override;

private:
    driver& core_;
    in_process_host& host_;
    const std::uint64_t open_handle_;
};

}  // namespace corvflt::in_process
