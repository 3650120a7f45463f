#include "platform/socket_event.h"

#include <winsock2.h>
#include <windows.h>

namespace platform {
namespace {

WSAEVENT handle_of(std::uint64_t value) { return reinterpret_cast<WSAEVENT>(static_cast<std::uintptr_t>(value)); }

}  // namespace

socket_event::socket_event()
{
    WSADATA data;
    // Balanced start: harmless when the socket library already runs.
    static const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
    (void)started;
    WSAEVENT e = ::WSACreateEvent();
    if (e != WSA_INVALID_EVENT)
        handle_ = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(e));
}

socket_event::~socket_event()
{
    deselect();
    if (valid())
        ::WSACloseEvent(handle_of(handle_));
}

bool socket_event::set() { return valid() && ::WSASetEvent(handle_of(handle_)) != FALSE; }

bool socket_event::reset() { return valid() && ::WSAResetEvent(handle_of(handle_)) != FALSE; }

bool socket_event::select_connect(socket_handle s)
{
    if (!valid() || s == invalid_socket)
        return false;
    if (::WSAEventSelect(static_cast<SOCKET>(s), handle_of(handle_), FD_CONNECT) != 0)
        return false;
    selected_ = s;
    return true;
}

void socket_event::deselect()
{
    if (selected_ != invalid_socket)
        ::WSAEventSelect(static_cast<SOCKET>(selected_), nullptr, 0);
    selected_ = invalid_socket;
}

int wait_any_socket_event(socket_event* const* events, std::size_t count, std::uint32_t timeout_ms)
{
    if (!events || count == 0 || count > max_socket_events)
        return wait_any_failed;
    WSAEVENT handles[max_socket_events];
    for (std::size_t i = 0; i < count; ++i) {
        if (!events[i] || !events[i]->valid())
            return wait_any_failed;
        handles[i] = handle_of(events[i]->handle_);
    }
    const DWORD r = ::WSAWaitForMultipleEvents(static_cast<DWORD>(count), handles, FALSE,
                                               timeout_ms, FALSE);
    if (r == WSA_WAIT_TIMEOUT)
        return wait_any_timeout;
    if (r >= WSA_WAIT_EVENT_0 && r < WSA_WAIT_EVENT_0 + count)
        return static_cast<int>(r - WSA_WAIT_EVENT_0);
    return wait_any_failed;
}

}  // namespace platform
