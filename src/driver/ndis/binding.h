#pragma once
// corvflt.sys: the portable driver core under the real NDIS 6.20 filter entry points.
//
// One `binding` exists between DriverEntry and unload; it owns the core, the kernel host the
// core talks through, the NET_BUFFER_LIST pool for frames the driver originates, and the
// NDIS handles of the filter driver and the control device. Each attachment to an adapter
// is a `filter_module` (the NDIS module context), which points at the core's record.
//
// IRQL at the entry points (NDIS's rules, restated where each handler is defined):
// DriverEntry, unload, attach, detach, pause, restart, set options, PnP and the control
// device run at PASSIVE_LEVEL; send, send complete, receive, return, OID requests and their
// completions and status indications run at <= DISPATCH_LEVEL.

#include <atomic>
#include <cstdint>

#include "driver/driver.h"
#include "driver/ndis/kernel_host.h"
#include "driver/ndis/nt_ndis.h"

namespace corvflt::ndis {

inline constexpr nt::ULONG POOL_TAG = 0x74766643;  // 'Cfvt' in a pool dump
inline constexpr nt::ULONG NBL_POOL_TAG = 0x6E766643;  // 'Cfvn'
// A driver-originated NBL carries one frame of at most this many bytes.
inline constexpr nt::ULONG INJECTED_DATA_SIZE = 1514;

struct filter_module {
    nt::NDIS_HANDLE filter_handle;
    adapter_context* core;
    nt::NDIS_MEDIUM medium;
};

struct binding {
    explicit binding(nt::DRIVER_OBJECT* object) : host(*this), core(host), driver_object(object) {}

    kernel_host host;
    driver core;
    nt::DRIVER_OBJECT* driver_object;
    nt::NDIS_HANDLE filter_driver = nullptr;
    nt::NDIS_HANDLE nbl_pool = nullptr;
    nt::NDIS_HANDLE device_handle = nullptr;
    nt::DEVICE_OBJECT* device = nullptr;
};

// The one instance, set by DriverEntry and cleared by unload.
extern binding* the_binding;

// control_device.cpp
nt::NTSTATUS register_control_device(binding& b);
void deregister_control_device(binding& b);

}  // namespace corvflt::ndis

extern "C" corvflt::nt::NTSTATUS DriverEntry(corvflt::nt::DRIVER_OBJECT* driver_object,
                                              corvflt::nt::UNICODE_STRING* registry_path);
