// corvflt.sys: the control device \Device\CORVFLT (\DosDevices\CORVFLT for user mode) and
// its dispatch routines, which hand every request to the core's dispatcher.
#include <cstdint>

#include "driver/ndis/binding.h"

namespace corvflt::ndis {

using namespace nt;

namespace {

constexpr char16_t DEVICE_NAME[] = u"\\Device\\CORVFLT";
constexpr char16_t LINK_NAME[] = u"\\DosDevices\\CORVFLT";
constexpr ULONG DEVICE_EXTENSION_SIZE = 16;

NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::uint64_t open_handle_of(IO_STACK_LOCATION* stack)
{
    // One file object per open handle: the core's identity of the caller's handle.
    return reinterpret_cast<std::uintptr_t>(stack->FileObject);
}

// PASSIVE_LEVEL, on the opening or closing thread (close may come on any thread).
NTSTATUS open_close(DEVICE_OBJECT* /*device*/, IRP* irp)
{
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    binding* b = the_binding;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        b->core.open_handle(open_handle_of(stack));
        break;
    case IRP_MJ_CLOSE:
        b->core.close_handle(open_handle_of(stack));
        break;
    default:  // cleanup: the handle's state goes at close
        break;
    }
    return complete(irp, nt::STATUS_SUCCESS, 0);
}

// PASSIVE_LEVEL, on the caller's thread: the core reads caller addresses and references
// caller handles in this process's context.
NTSTATUS device_control(DEVICE_OBJECT* /*device*/, IRP* irp)
{
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    // Every code is METHOD_BUFFERED; any other method would hand the core raw caller
    // pointers as the system buffer.
    if ((code & 3) != METHOD_BUFFERED || (!buffer && (in || out)))
        return complete(irp, nt::STATUS_INVALID_PARAMETER, 0);
    // A pass-through OID may complete on another CPU before dispatch returns: the IRP is
    // marked pending before the core can hand it to the adapter, and then this routine
    // returns nt::STATUS_PENDING whatever happens.
    const bool may_pend = code == tarnwell::IOCTL_CORVFLT_SET_OID || code == tarnwell::IOCTL_CORVFLT_QUERY_OID;
    if (may_pend)
        IoMarkIrpPending(irp);
    std::uint32_t bytes = 0;
    const ntstatus status = the_binding->core.dispatch(open_handle_of(stack), code, buffer, in, out, &bytes,
                                                       reinterpret_cast<std::uintptr_t>(irp));
    if (status == nt::STATUS_PENDING)
        return nt::STATUS_PENDING;
    complete(irp, static_cast<NTSTATUS>(status), bytes);
    return may_pend ? nt::STATUS_PENDING : static_cast<NTSTATUS>(status);
}

}  // namespace

// PASSIVE_LEVEL (load).
NTSTATUS register_control_device(binding& b)
{
    static DRIVER_DISPATCH* major[IRP_MJ_MAXIMUM_FUNCTION + 1];
    for (auto& f : major)
        f = nullptr;
    major[IRP_MJ_CREATE] = open_close;
    major[IRP_MJ_CLEANUP] = open_close;
    major[IRP_MJ_CLOSE] = open_close;
    major[IRP_MJ_DEVICE_CONTROL] = device_control;
    major[IRP_MJ_INTERNAL_DEVICE_CONTROL] = device_control;

    UNICODE_STRING device_name{sizeof(DEVICE_NAME) - 2, sizeof(DEVICE_NAME), const_cast<char16_t*>(DEVICE_NAME)};
    UNICODE_STRING link_name{sizeof(LINK_NAME) - 2, sizeof(LINK_NAME), const_cast<char16_t*>(LINK_NAME)};
    NDIS_DEVICE_OBJECT_ATTRIBUTES attributes{};
    attributes.Header.Type = NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES;
    attributes.Header.Revision = NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1;
    attributes.Header.Size = sizeof(attributes);
    attributes.DeviceName = &device_name;
    attributes.SymbolicName = &link_name;
    attributes.MajorFunctions = major;
    attributes.ExtensionSize = DEVICE_EXTENSION_SIZE;
    return NdisRegisterDeviceEx(b.filter_driver, &attributes, &b.device, &b.device_handle);
}

void deregister_control_device(binding& b)
{
    if (b.device_handle)
        NdisDeregisterDeviceEx(b.device_handle);
    b.device_handle = nullptr;
    b.device = nullptr;
}

}  // namespace corvflt::ndis
