#include "platform/completion_port.h"

#include <winsock2.h>
#include <windows.h>

namespace platform {

struct completion_port::state {
    HANDLE port = nullptr;
};

namespace {

// Completion errors arrive as Win32 errors of the NTSTATUS of the operation; give the
// socket-level numbers callers compare with (the same ones the Linux backend reports).
std::uint32_t translate(DWORD error)
{
    switch (error) {
    case ERROR_NETNAME_DELETED: return error_connection_reset;
    case error_handles_closed: return error_operation_aborted;  // Wine, on a local close
    case ERROR_CONNECTION_ABORTED: return error_connection_aborted;
    case ERROR_CONNECTION_REFUSED: return error_connection_refused;
    case ERROR_SEM_TIMEOUT: return error_timed_out;
    case ERROR_PORT_UNREACHABLE: return error_connection_reset;
    case ERROR_MORE_DATA: return error_message_size;
    default: return static_cast<std::uint32_t>(error);
    }
}

}  // namespace

completion_port::completion_port() : state_(std::make_unique<state>())
{
    state_->port = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    if (!state_->port) {
        error_ = static_cast<std::uint32_t>(::GetLastError());
        state_.reset();
    }
}

completion_port::~completion_port()
{
    if (state_)
        ::CloseHandle(state_->port);
}

bool completion_port::valid() const { return state_ != nullptr; }

bool completion_port::associate(socket_handle s, std::uintptr_t key)
{
    if (!state_)
        return false;
    return ::CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), state_->port, key, 0) == state_->port;
}

bool completion_port::post(std::uint32_t bytes, std::uintptr_t key, overlapped* ov)
{
    return state_ && ::PostQueuedCompletionStatus(state_->port, bytes, key,
                                                  reinterpret_cast<OVERLAPPED*>(ov)) != FALSE;
}

completion completion_port::dequeue(std::uint32_t timeout_ms)
{
    completion c;
    if (!state_)
        return c;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    const BOOL ok = ::GetQueuedCompletionStatus(state_->port, &bytes, &key, &ov, timeout_ms);
    if (!ok && !ov) {
        c.error = static_cast<std::uint32_t>(::GetLastError());
        return c;
    }
    c.dequeued = true;
    c.success = ok != FALSE;
    c.bytes = bytes;
    c.key = key;
    c.ov = reinterpret_cast<overlapped*>(ov);
    c.error = ok ? 0 : translate(::GetLastError());
    return c;
}

deferred_wakeups::deferred_wakeups() = default;
deferred_wakeups::~deferred_wakeups() = default;

}  // namespace platform
