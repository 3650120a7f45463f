#pragma once
// Manual-reset and auto-reset events whose state can be handed to the driver by a native
// handle. One header, one backend per OS.
//
// Behaviour on both backends:
// - Windows: a Win32 event object; native_handle() is its HANDLE value.
// - Linux: an eventfd (EFD_CLOEXEC | EFD_NONBLOCK); native_handle() is its descriptor number.
//   The state lives in the eventfd counter, not in this process's memory, because the
//   driver host daemon signals it by writing to its own duplicate of the descriptor:
//   signalled <=> counter > 0. set() writes 1; reset() drains the counter; a manual-reset
//   wait polls for readability without consuming; an auto-reset wait consumes the counter
//   with a read, and goes back to waiting when another waiter took it first. Several set()
//   calls before a wait wake one auto-reset waiter once, as on Windows.
// - wait_any() checks the events in index order and reports the lowest signalled index, as
//   WaitForMultipleObjects does; it accepts 1 to max_wait_objects events, else it fails.
//
// Errors: nothing throws. A creation failure leaves an invalid event (valid() false) with
// the OS error in error() (GetLastError value on Windows, errno on Linux); every
// operation on an invalid event fails.
//
// Thread safety: set/reset/wait may be called from any number of threads at once; creation,
// move and destruction belong to the owner alone.

#include <cstddef>
#include <cstdint>

namespace platform {

// Wait forever (the Win32 INFINITE value).
inline constexpr std::uint32_t wait_infinite = 0xFFFFFFFFu;
// The most events one wait_any() accepts (MAXIMUM_WAIT_OBJECTS on Windows).
inline constexpr std::size_t max_wait_objects = 64;

enum class event_kind { manual_reset, auto_reset };

enum class wait_result { signalled, timeout, failed };

// wait_any() results that are not an index.
inline constexpr int wait_any_timeout = -1;
inline constexpr int wait_any_failed = -2;

// Owns one OS event object. Created by whoever waits on it (filters, service worker);
// signalled by any thread or, through its native handle, by the driver.
class event {
public:
    explicit event(event_kind kind, bool initially_set = false);
    ~event();
    event(event&& other) noexcept;
    event& operator=(event&& other) noexcept;
    event(const event&) = delete;
    event& operator=(const event&) = delete;

    bool valid() const { return handle_ != invalid_handle; }
    // The OS error of the failed creation; 0 for a valid event.
    std::uint32_t error() const { return error_; }
    event_kind kind() const { return kind_; }

    bool set();
    bool reset();
    // `timeout_ms` may be wait_infinite.
    wait_result wait(std::uint32_t timeout_ms);

    // The value to hand to the driver as its u64 event handle; 0 for an invalid event.
    std::uint64_t native_handle() const { return valid() ? handle_ : 0; }

private:
    friend int wait_any(event* const* events, std::size_t count, std::uint32_t timeout_ms);
    static constexpr std::uint64_t invalid_handle = ~std::uint64_t{0};

    void close();

    std::uint64_t handle_ = invalid_handle;
    std::uint32_t error_ = 0;
    event_kind kind_;
};

// Waits until one of `events` is signalled (consuming it if it is auto-reset) and returns
// its index, or wait_any_timeout, or wait_any_failed (bad arguments, an invalid event, an OS
// failure).
int wait_any(event* const* events, std::size_t count, std::uint32_t timeout_ms);

// What a driver host keeps of a caller's event: its own duplicate of the native handle
// (DuplicateHandle on Windows, dup on Linux), so the caller may close its event at any
// time. Used by in-process driver hosts; signal() from any thread, never blocks.
// Windows cannot tell an event handle from another handle here: signal() then fails.
class event_reference {
public:
    event_reference() = default;
    // Invalid when `native_handle` names no event of this process (on Linux: not an
    // eventfd).
    static event_reference from_native(std::uint64_t native_handle);
    ~event_reference();
    event_reference(event_reference&& other) noexcept;
    event_reference& operator=(event_reference&& other) noexcept;
    event_reference(const event_reference&) = delete;
    event_reference& operator=(const event_reference&) = delete;

    bool valid() const { return handle_ != invalid_handle; }
    bool signal();

private:
    static constexpr std::uint64_t invalid_handle = ~std::uint64_t{0};
    void close();

    std::uint64_t handle_ = invalid_handle;
};

}  // namespace platform
