#pragma once
// The few kernel facilities that are compiler intrinsics or header macros rather than
// exported functions (IRQL through CR8, the shared system time, structured exception
// scopes). corvflt.sys implements them in kernel_runtime_x64.cpp and guarded_call_x64.S;
// the simulated NDIS implements them for tests.

#include <cstddef>
#include <cstdint>

#include "driver/ndis/nt_ndis.h"

namespace corvflt::ndis {

nt::KIRQL current_irql();
// Raises to `level` (which must not be below the current level); returns the old level.
nt::KIRQL raise_irql(nt::KIRQL level);
void lower_irql(nt::KIRQL level);

// 100 ns intervals since 1601-01-01 UTC.
std::int64_t system_time();

// Runs fn(context) inside an exception scope and returns STATUS_SUCCESS, or the code of the
// exception it raised (an access violation on a bad user address, the status
// MmProbeAndLockPages raises). The mingw toolchain has no __try/__except, so the kernel
// build installs a scope record for __C_specific_handler by hand around the call. `fn`
// must own no resources that need unwinding: on an exception its frames are abandoned.
nt::NTSTATUS guarded_call(void (*fn)(void*), void* context);

// A plain byte copy, to be called only inside guarded_call: the caller's side (the
// destination when `to_user`, else the source) may be an address that faults.
void guarded_copy_bytes(void* destination, const void* source, std::size_t length, bool to_user);

}  // namespace corvflt::ndis
