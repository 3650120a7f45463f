// IPv4 forwarding through IP Helper's EnableRouter / UnenableRouter.

#include "platform/ip_forwarding.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include "platform/win32_errors.h"

namespace platform {

struct ip_forwarding_request::state {
    OVERLAPPED overlapped{};
    HANDLE handle = nullptr;  // the handle EnableRouter fills in; owned by the system
    bool enabled = false;
};

ip_forwarding_request::ip_forwarding_request() : state_(std::make_unique<state>())
{
    state_->overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

ip_forwarding_request::~ip_forwarding_request()
{
    if (state_->overlapped.hEvent)
        ::CloseHandle(state_->overlapped.hEvent);
}

std::uint32_t ip_forwarding_request::enable_router()
{
    if (!state_->overlapped.hEvent)
        return error_no_system_resources;
    const DWORD answer = ::EnableRouter(&state_->handle, &state_->overlapped);
    if (answer == ERROR_IO_PENDING)
        state_->enabled = true;
    return answer;
}

std::uint32_t ip_forwarding_request::unenable_router()
{
    if (!state_->enabled)
        return error_success;
    state_->enabled = false;
    return ::UnenableRouter(&state_->overlapped, nullptr);
}

}  // namespace platform
