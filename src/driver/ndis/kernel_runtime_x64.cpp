// corvflt.sys only: what a hosted C++ program gets from its runtime, done by hand for the
// kernel (there is no CRT in the image): IRQL through CR8, the system time from the shared
// user page, the core's lock and spin hooks, and the few symbols the compiler references.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "driver/host_primitives.h"
#include "driver/ndis/kernel_shim.h"

namespace corvflt {

void host_cpu_relax() { __builtin_ia32_pause(); }

// The core's locks are taken at passive level by control requests and at dispatch level by
// the data path. Raising while one is held keeps a DPC on this CPU from spinning forever on
// a lock the thread it interrupted holds.
std::uint32_t host_lock_enter()
{
    const nt::KIRQL current = ndis::current_irql();
    if (current >= nt::DISPATCH_LEVEL)
        return current;
    return ndis::raise_irql(nt::DISPATCH_LEVEL);
}

void host_lock_leave(std::uint32_t previous)
{
    if (previous < nt::DISPATCH_LEVEL)
        ndis::lower_irql(static_cast<nt::KIRQL>(previous));
}

}  // namespace corvflt

namespace corvflt::ndis {

nt::KIRQL current_irql()
{
    std::uint64_t level;
    __asm__ volatile("movq %%cr8, %0" : "=r"(level));
    return static_cast<nt::KIRQL>(level);
}

nt::KIRQL raise_irql(nt::KIRQL level)
{
    const nt::KIRQL old = current_irql();
    const std::uint64_t value = level;
    __asm__ volatile("movq %0, %%cr8" : : "r"(value) : "memory");
    return old;
}

void lower_irql(nt::KIRQL level)
{
    const std::uint64_t value = level;
    __asm__ volatile("movq %0, %%cr8" : : "r"(value) : "memory");
}

// KUSER_SHARED_DATA.SystemTime: a KSYSTEM_TIME the clock interrupt updates high part,
// low part, second high part; equal high parts mean a consistent read.
std::int64_t system_time()
{
    const volatile std::int32_t* t = reinterpret_cast<const volatile std::int32_t*>(0xFFFFF78000000014ull);
    for (;;) {
        const std::int32_t high1 = t[1];
        const std::uint32_t low = static_cast<std::uint32_t>(t[0]);
        const std::int32_t high2 = t[2];
        if (high1 == high2)
            return static_cast<std::int64_t>(static_cast<std::uint64_t>(static_cast<std::uint32_t>(high1)) << 32 | low);
    }
}

// Byte by byte through volatile pointers: the compiler must not turn this into a call to a
// routine of another module (whose frames the exception would then have to unwind).
void guarded_copy_bytes(void* destination, const void* source, std::size_t length, bool /*to_user*/)
{
    auto* d = static_cast<volatile std::uint8_t*>(destination);
    const auto* s = static_cast<const volatile std::uint8_t*>(source);
    for (std::size_t i = 0; i < length; ++i)
        d[i] = s[i];
}

}  // namespace corvflt::ndis

// Symbols the compiler may reference. No object of the driver is ever deleted through
// these (everything lives in pool memory and is destroyed explicitly), and no pure virtual
// call can happen outside construction, which the driver never does with a partial object.
void operator delete(void*) noexcept {}
void operator delete(void*, std::size_t) noexcept {}
extern "C" void __cxa_pure_virtual() { __builtin_trap(); }
