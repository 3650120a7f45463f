#include "platform/event.h"

#include <windows.h>

namespace platform {
namespace {

HANDLE handle_of(std::uint64_t value)
{
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

std::uint64_t value_of(HANDLE handle)
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

}  // namespace

event::event(event_kind kind, bool initially_set) : kind_(kind)
{
    HANDLE h = ::CreateEventW(nullptr, kind == event_kind::manual_reset ? TRUE : FALSE,
                              initially_set ? TRUE : FALSE, nullptr);
    if (!h) {
        error_ = static_cast<std::uint32_t>(::GetLastError());
        return;
    }
    handle_ = value_of(h);
}

void event::close()
{
    if (valid())
        ::CloseHandle(handle_of(handle_));
    handle_ = invalid_handle;
}

bool event::set() { return valid() && ::SetEvent(handle_of(handle_)) != FALSE; }

bool event::reset() { return valid() && ::ResetEvent(handle_of(handle_)) != FALSE; }

wait_result event::wait(std::uint32_t timeout_ms)
{
    if (!valid())
        return wait_result::failed;
    switch (::WaitForSingleObject(handle_of(handle_), timeout_ms)) {
    case WAIT_OBJECT_0:
        return wait_result::signalled;
    case WAIT_TIMEOUT:
        return wait_result::timeout;
    default:
        return wait_result::failed;
    }
}

int wait_any(event* const* events, std::size_t count, std::uint32_t timeout_ms)
{
    if (!events || count == 0 || count > max_wait_objects)
        return wait_any_failed;
    HANDLE handles[max_wait_objects];
    for (std::size_t i = 0; i < count; ++i) {
        if (!events[i] || !events[i]->valid())
            return wait_any_failed;
        handles[i] = handle_of(events[i]->handle_);
    }
    const DWORD r = ::WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE,
                                             timeout_ms);
    if (r < WAIT_OBJECT_0 + count)
        return static_cast<int>(r - WAIT_OBJECT_0);
    return r == WAIT_TIMEOUT ? wait_any_timeout : wait_any_failed;
}

event_reference event_reference::from_native(std::uint64_t native_handle)
{
    event_reference ref;
    HANDLE copy = nullptr;
    // EVENT_MODIFY_STATE only: the reference signals, it never waits. A value that is no
    // handle fails here; a handle of another object type is not detected until signal()
    // fails.
    if (native_handle == 0 ||
        !::DuplicateHandle(::GetCurrentProcess(), handle_of(native_handle),
                           ::GetCurrentProcess(), &copy, EVENT_MODIFY_STATE, FALSE, 0))
        return ref;
    ref.handle_ = value_of(copy);
    return ref;
}

void event_reference::close()
{
    if (valid())
        ::CloseHandle(handle_of(handle_));
    handle_ = invalid_handle;
}

bool event_reference::signal()
{
    return valid() && ::SetEvent(handle_of(handle_)) != FALSE;
}

}  // namespace platform
