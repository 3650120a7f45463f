// IP Helper backend of the IP interface change notifications of platform/interface_table.h.
#include "platform/interface_table.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <new>

namespace platform {

// The system calls back with this record as its context; freed only after a successful
// cancel, because a failed one leaves the system free to call it.
struct interface_change_registration {
    interface_change_callback callback = nullptr;
    void* context = nullptr;
    HANDLE handle = nullptr;
};

namespace {

void WINAPI on_change(PVOID context, PMIB_IPINTERFACE_ROW row, MIB_NOTIFICATION_TYPE type)
{
    auto* registration = static_cast<interface_change_registration*>(context);
    if (!registration)
        return;
    interface_change change;
    change.kind = static_cast<interface_change_kind>(type);
    if (row) {
        change.family = static_cast<std::uint16_t>(row->Family);
        change.if_index = row->InterfaceIndex;
        change.luid = row->InterfaceLuid.Value;
    }
    registration->callback(registration->context, change);
}

}  // namespace

std::uint32_t notify_ip_interface_change(interface_change_callback callback, void* context,
                                         interface_change_registration** handle)
{
    if (!callback || !handle)
        return error_invalid_parameter;
    auto* registration = new (std::nothrow) interface_change_registration;
    if (!registration)
        return error_not_enough_memory;
    registration->callback = callback;
    registration->context = context;
    const DWORD result =
        NotifyIpInterfaceChange(AF_UNSPEC, on_change, registration, FALSE, &registration->handle);
    if (result != NO_ERROR) {
        delete registration;
        return result;
    }
    *handle = registration;
    return error_success;
}

std::uint32_t cancel_ip_interface_change(interface_change_registration* handle)
{
    if (!handle)
        return error_invalid_parameter;
    const DWORD result = CancelMibChangeNotify2(handle->handle);
    if (result != NO_ERROR)
        return result;
    delete handle;
    return error_success;
}

}  // namespace platform
