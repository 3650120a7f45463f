// corvflt.sys's driver_host: how the core's requests become NDIS and kernel calls.
#include "driver/ndis/kernel_host.h"

#include <cstring>
#include <new>

#include "driver/driver_constants.h"
#include "driver/status_records.h"
#include "driver/ndis/binding.h"
#include "driver/ndis/kernel_shim.h"

namespace corvflt::ndis {

using namespace nt;

namespace {

// The request id of the driver's own OID requests, "FLTR" as a 32-bit tag.
constexpr std::uintptr_t INTERNAL_REQUEST_TAG = 0x52544C46;
void* internal_request_id() { return reinterpret_cast<void*>(INTERNAL_REQUEST_TAG); }
constexpr std::int64_t SECONDS_1601_TO_1980 = 11960006400;

std::uint16_t swap16(std::uint16_t v) { return static_cast<std::uint16_t>(v << 8 | v >> 8); }

// MmGetSystemAddressForMdlSafe: pool memory is mapped already; anything else is mapped now.
std::uint8_t* system_address(MDL* mdl)
{
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return static_cast<std::uint8_t*>(mdl->MappedSystemVa);
    return static_cast<std::uint8_t*>(
        MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, 0, NormalPagePriority));
}

// A caller's range must lie wholly below the user probe address before it is touched:
// a kernel address must never reach the guarded copy, which only turns user-space faults
// into failures.
bool user_range(std::uint64_t address, std::uint64_t length)
{
    const std::uint64_t end = address + length;
    return end >= address && end <= MmUserProbeAddress && address != 0;
}

struct copy_job {
    void* destination;
    const void* source;
    std::size_t length;
    bool to_user;
};
void run_copy(void* context)
{
    auto* job = static_cast<copy_job*>(context);
    guarded_copy_bytes(job->destination, job->source, job->length, job->to_user);
}

struct lock_job {
    MDL* mdl;
};
void run_probe_and_lock(void* context)
{
    MmProbeAndLockPages(static_cast<lock_job*>(context)->mdl, UserMode, IoWriteAccess);
}

}  // namespace

// ------------------------------------------------------------------------ frames

NET_BUFFER_LIST* kernel_host::build_nbl(filter_module* module, const frame_view& frame)
{
    if (frame.length == 0 || frame.length > INJECTED_DATA_SIZE)
        return nullptr;
    NET_BUFFER_LIST* nbl = NdisAllocateNetBufferList(owner_.nbl_pool, 0, 0);
    if (!nbl)
        return nullptr;
    NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(nbl);
    std::uint8_t* data = nb && nb->data.CurrentMdl ? system_address(nb->data.CurrentMdl) : nullptr;
    if (!data) {
        NdisFreeNetBufferList(nbl);
        return nullptr;
    }
    std::memcpy(data + nb->data.CurrentMdlOffset, frame.data, frame.length);
    NET_BUFFER_DATA_LENGTH(nb) = frame.length;
    NET_BUFFER_LIST_NEXT_NBL(nbl) = nullptr;
    nbl->SourceHandle = module->filter_handle;
    nbl->Status = NDIS_STATUS_SUCCESS;
    nbl->NetBufferListInfo[Ieee8021QNetBufferListInfo] =
        reinterpret_cast<void*>(std::uintptr_t{frame.ieee8021q});
    if (is_ip_medium(static_cast<std::uint32_t>(module->medium))) {
        // The stack above an IP medium learns the protocol from these, not from a header.
        nbl->NetBufferListInfo[NetBufferListFrameType] =
            reinterpret_cast<void*>(std::uintptr_t{swap16(frame.frame_type)});
        if (frame.frame_type == 0x0800)
            nbl->NblFlags |= NDIS_NBL_FLAGS_IS_IPV4;
        else if (frame.frame_type == 0x86DD)
            nbl->NblFlags |= NDIS_NBL_FLAGS_IS_IPV6;
    }
    return nbl;
}

void kernel_host::free_nbl(NET_BUFFER_LIST* nbl)
{
    NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(nbl);
    if (nb)
        NET_BUFFER_DATA_LENGTH(nb) = INJECTED_DATA_SIZE;
    nbl->NblFlags &= ~(NDIS_NBL_FLAGS_IS_IPV4 | NDIS_NBL_FLAGS_IS_IPV6);
    NdisFreeNetBufferList(nbl);
}

bool kernel_host::is_own_nbl(const filter_module* module, const NET_BUFFER_LIST* nbl) const
{
    return nbl->NdisPoolHandle == owner_.nbl_pool && nbl->SourceHandle == module->filter_handle;
}

// <= DISPATCH_LEVEL.
void kernel_host::send_chain(filter_module* module, NET_BUFFER_LIST* head, std::uint32_t count)
{
    if (!head)
        return;
    module->core->outstanding_sends.fetch_add(count, std::memory_order_acq_rel);
    NdisFSendNetBufferLists(module->filter_handle, head, 0,
                            current_irql() == DISPATCH_LEVEL ? NDIS_SEND_FLAGS_DISPATCH_LEVEL : 0);
}

// <= DISPATCH_LEVEL; the indication itself is made at DISPATCH_LEVEL.
void kernel_host::indicate_chain(filter_module* module, NET_BUFFER_LIST* head, std::uint32_t count)
{
    if (!head)
        return;
    module->core->outstanding_indications.fetch_add(count, std::memory_order_acq_rel);
    const KIRQL old = raise_irql(DISPATCH_LEVEL);
    NdisFIndicateReceiveNetBufferLists(module->filter_handle, head, 0, count,
                                       NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
    lower_irql(old);
}

NET_BUFFER_LIST* kernel_host::build_chain(filter_module* module, const frame_view* frames, std::uint32_t count,
                                          std::uint32_t& built)
{
    NET_BUFFER_LIST* head = nullptr;
    NET_BUFFER_LIST** tail = &head;
    built = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        NET_BUFFER_LIST* nbl = build_nbl(module, frames[i]);
        if (!nbl) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        *tail = nbl;
        tail = &NET_BUFFER_LIST_NEXT_NBL(nbl);
        ++built;
    }
    return head;
}

void kernel_host::send_to_adapter(void* host_adapter, const frame_view* frames, std::uint32_t count)
{
    auto* module = static_cast<filter_module*>(host_adapter);
    std::uint32_t n = 0;
    NET_BUFFER_LIST* head = build_chain(module, frames, count, n);
    send_chain(module, head, n);
}

void kernel_host::indicate_to_stack(void* host_adapter, const frame_view* frames, std::uint32_t count)
{
    auto* module = static_cast<filter_module*>(host_adapter);
    std::uint32_t n = 0;
    NET_BUFFER_LIST* head = build_chain(module, frames, count, n);
    indicate_chain(module, head, n);
}

// ------------------------------------------------------------------------ OIDs

host_oid* kernel_host::oid_of(NDIS_OID_REQUEST* request)
{
    host_oid* oid;
    std::memcpy(&oid, request->SourceReserved, sizeof(oid));
    return oid;
}

void kernel_host::copy_back(host_oid* oid)
{
    NDIS_OID_REQUEST* sent = oid->sent;
    std::uint32_t done = 0;
    switch (sent->RequestType) {
    case NdisRequestSetInformation:
        done = sent->DATA.SET_INFORMATION.BytesRead;
        break;
    case NdisRequestMethod:
        done = sent->DATA.METHOD_INFORMATION.BytesWritten;
        break;
    default:
        done = sent->DATA.QUERY_INFORMATION.BytesWritten;
        break;
    }
    oid->core_record->bytes_done = done;
    NDIS_OID_REQUEST* original = oid->original;
    if (!original)
        return;
    if (original->RequestType == NdisRequestMethod) {
        original->DATA.METHOD_INFORMATION.OutputBufferLength = sent->DATA.METHOD_INFORMATION.OutputBufferLength;
        original->DATA.METHOD_INFORMATION.BytesWritten = sent->DATA.METHOD_INFORMATION.BytesWritten;
        original->DATA.METHOD_INFORMATION.BytesRead = sent->DATA.METHOD_INFORMATION.BytesRead;
        original->DATA.METHOD_INFORMATION.BytesNeeded = sent->DATA.METHOD_INFORMATION.BytesNeeded;
    } else if (original->RequestType == NdisRequestSetInformation) {
        original->DATA.SET_INFORMATION.BytesRead = sent->DATA.SET_INFORMATION.BytesRead;
        original->DATA.SET_INFORMATION.BytesNeeded = sent->DATA.SET_INFORMATION.BytesNeeded;
    } else {
        original->DATA.QUERY_INFORMATION.BytesWritten = sent->DATA.QUERY_INFORMATION.BytesWritten;
        original->DATA.QUERY_INFORMATION.BytesNeeded = sent->DATA.QUERY_INFORMATION.BytesNeeded;
    }
}

void kernel_host::free_oid(host_oid* oid)
{
    if (oid->original)
        NdisFreeCloneOidRequest(oid->module->filter_handle, oid->sent);
    oid->~host_oid();
    ExFreePoolWithTag(oid, POOL_TAG);
}

// <= DISPATCH_LEVEL. Forwarded requests (host_token = the protocol's NDIS_OID_REQUEST) go
// down as a clone; the driver's own requests go down as a request of their own.
ntstatus kernel_host::request_oid(void* host_adapter, oid_request* request)
{
    auto* module = static_cast<filter_module*>(host_adapter);
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(host_oid), POOL_TAG);
    if (!memory)
        return static_cast<ntstatus>(NDIS_STATUS_RESOURCES);
    std::memset(memory, 0, sizeof(host_oid));
    auto* oid = new (memory) host_oid{};
    oid->module = module;
    auto* original = reinterpret_cast<NDIS_OID_REQUEST*>(static_cast<std::uintptr_t>(request->host_token));
    if (original) {
        NDIS_OID_REQUEST* clone = nullptr;
        const NDIS_STATUS cloned = NdisAllocateCloneOidRequest(module->filter_handle, original, POOL_TAG, &clone);
        if (cloned != NDIS_STATUS_SUCCESS || !clone) {
            ExFreePoolWithTag(oid, POOL_TAG);
            return static_cast<ntstatus>(cloned != NDIS_STATUS_SUCCESS ? cloned : NDIS_STATUS_RESOURCES);
        }
        clone->RequestId = original->RequestId;
        oid->sent = clone;
        oid->original = original;
    } else {
        NDIS_OID_REQUEST& r = oid->ndis;
        r.Header.Type = NDIS_OBJECT_TYPE_OID_REQUEST;
        r.Header.Revision = NDIS_OID_REQUEST_REVISION_1;
        r.Header.Size = NDIS_SIZEOF_OID_REQUEST_REVISION_1;
        r.RequestType = request->type == OID_TYPE_SET ? NdisRequestSetInformation : NdisRequestQueryInformation;
        r.RequestId = internal_request_id();
        r.DATA.QUERY_INFORMATION.Oid = request->oid;
        r.DATA.QUERY_INFORMATION.InformationBuffer = request->data;
        r.DATA.QUERY_INFORMATION.InformationBufferLength = request->length;
        oid->sent = &r;
        oid->internal = true;
    }
    oid->core_record = request;
    std::memcpy(oid->sent->SourceReserved, &oid, sizeof(oid));

    const NDIS_STATUS status = NdisFOidRequest(module->filter_handle, oid->sent);
    if (status == NDIS_STATUS_PENDING)
        return nt::STATUS_PENDING;
    copy_back(oid);
    free_oid(oid);
    return static_cast<ntstatus>(status);
}

void kernel_host::cancel_oid(void* host_adapter, oid_request* /*request*/)
{
    // Only the driver's own requests are cancelled through here (pause).
    NdisFCancelOidRequest(static_cast<filter_module*>(host_adapter)->filter_handle, internal_request_id());
}

// The core finished a protocol's forwarded request that had pended: complete it upward.
void kernel_host::complete_protocol_oid(void* host_adapter, oid_request* request, ntstatus status)
{
    auto* module = static_cast<filter_module*>(host_adapter);
    auto* original = reinterpret_cast<NDIS_OID_REQUEST*>(static_cast<std::uintptr_t>(request->host_token));
    // The core's record lived in the forwarding wrapper of filter_entry.cpp; that wrapper
    // is released by the OID-complete handler once this returns.
    NdisFOidRequestComplete(module->filter_handle, original, static_cast<NDIS_STATUS>(status));
}

// ------------------------------------------------------------------------ status

void kernel_host::indicate_status(void* host_adapter, std::uint32_t code, const std::uint8_t* buffer,
                                  std::uint32_t length)
{
    auto* module = static_cast<filter_module*>(host_adapter);
    if (code == STATUS_INDICATION_WAN_LINE_UP || code == STATUS_INDICATION_MOBILE_BROADBAND_CONTEXT_STATE) {
        // These arrive re-laid out (status_translation): pass the adapter's own record up,
        // with the reduced maximum total size the core wrote into the copy.
        const auto* t = reinterpret_cast<const status_translation*>(buffer);
        NDIS_STATUS_INDICATION* original = t->original;
        if (code == STATUS_INDICATION_WAN_LINE_UP && original->StatusBufferSize >= sizeof(NDIS_WAN_LINE_UP)) {
            std::uint32_t reduced;
            std::memcpy(&reduced, t->portable + WAN_LINE_UP_MAXIMUM_TOTAL_SIZE, 4);
            static_cast<NDIS_WAN_LINE_UP*>(original->StatusBuffer)->MaximumTotalSize = reduced;
        }
        NdisFIndicateStatus(module->filter_handle, original);
        return;
    }
    NDIS_STATUS_INDICATION indication{};
    indication.Header.Type = NDIS_OBJECT_TYPE_STATUS_INDICATION;
    indication.Header.Revision = NDIS_STATUS_INDICATION_REVISION_1;
    indication.Header.Size = sizeof(NDIS_STATUS_INDICATION);
    indication.SourceHandle = module->filter_handle;
    indication.StatusCode = static_cast<NDIS_STATUS>(code);
    indication.StatusBuffer = const_cast<std::uint8_t*>(buffer);
    indication.StatusBufferSize = length;
    NdisFIndicateStatus(module->filter_handle, &indication);
}

// ------------------------------------------------------------------------ control requests

// The token is the IRP, marked pending by the dispatch routine before the core saw it.
void kernel_host::complete_control_request(std::uint64_t request_token, ntstatus status,
                                           std::uint32_t bytes_returned)
{
    IRP* irp = reinterpret_cast<IRP*>(static_cast<std::uintptr_t>(request_token));
    irp->IoStatus.Status = static_cast<NTSTATUS>(status);
    irp->IoStatus.Information = bytes_returned;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// ------------------------------------------------------------------------ events (PASSIVE_LEVEL)

// The handle is the caller's: referenced in the caller's process (control requests run on
// the caller's thread), as an event, for SYNCHRONIZE, checked as a user-mode handle.
host_event* kernel_host::reference_event(std::uint64_t /*open_handle*/, std::uint64_t user_handle)
{
    void* object = nullptr;
    const NTSTATUS status =
        ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(user_handle)),
                                  SYNCHRONIZE, *ExEventObjectType, UserMode, &object, nullptr);
    if (status != nt::STATUS_SUCCESS)
        return nullptr;
    return static_cast<host_event*>(object);
}

// <= DISPATCH_LEVEL (the core may signal under its locks): no wait follows the signal.
void kernel_host::signal_event(host_event* event)
{
    KeSetEvent(reinterpret_cast<KEVENT*>(event), 1, 0);
}

void kernel_host::release_event(host_event* event) { ObfDereferenceObject(event); }

// ------------------------------------------------------------------------ caller memory (PASSIVE_LEVEL)

bool kernel_host::read_user(std::uint64_t /*open_handle*/, std::uint64_t address, void* destination,
                            std::uint32_t length)
{
    if (length == 0)
        return true;
    if (!user_range(address, length))
        return false;
    copy_job job{destination, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), length, false};
    return guarded_call(run_copy, &job) == nt::STATUS_SUCCESS;
}

bool kernel_host::write_user(std::uint64_t /*open_handle*/, std::uint64_t address, const void* source,
                             std::uint32_t length)
{
    if (length == 0)
        return true;
    if (!user_range(address, length))
        return false;
    copy_job job{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), source, length, true};
    return guarded_call(run_copy, &job) == nt::STATUS_SUCCESS;
}

// The caller's pages are locked for write access and mapped into system space, so the data
// path can fill them at DISPATCH_LEVEL and after the caller's thread has moved on.
std::uint8_t* kernel_host::map_user_section(std::uint64_t /*open_handle*/, std::uint64_t address,
                                            std::uint32_t size)
{
    if (size == 0 || !user_range(address, size))
        return nullptr;
    MDL* mdl = IoAllocateMdl(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), size, 0, 0, nullptr);
    if (!mdl)
        return nullptr;
    lock_job job{mdl};
    if (guarded_call(run_probe_and_lock, &job) != nt::STATUS_SUCCESS) {
        IoFreeMdl(mdl);
        return nullptr;
    }
    auto* mapping = static_cast<std::uint8_t*>(
        MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, 0, NormalPagePriority));
    if (mapping) {
        exclusive_guard<spin_lock> guard(sections_lock_);
        for (section_lock& s : sections_) {
            if (!s.mapping) {
                s = section_lock{mapping, mdl};
                return mapping;
            }
        }
    }
    // No mapping, or more locked sections than the core ever keeps.
    if (mapping)
        MmUnmapLockedPages(mapping, mdl);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    return nullptr;
}

void kernel_host::unmap_user_section(std::uint8_t* mapping, std::uint32_t /*size*/)
{
    MDL* mdl = nullptr;
    {
        exclusive_guard<spin_lock> guard(sections_lock_);
        for (section_lock& s : sections_) {
            if (s.mapping == mapping) {
                mdl = s.mdl;
                s = section_lock{};
                break;
            }
        }
    }
    if (!mdl)
        return;
    MmUnmapLockedPages(mapping, mdl);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

std::uint32_t kernel_host::mapped_sections()
{
    exclusive_guard<spin_lock> guard(sections_lock_);
    std::uint32_t n = 0;
    for (const section_lock& s : sections_)
        n += s.mapping != nullptr;
    return n;
}

// ------------------------------------------------------------------------ system services

// <= DISPATCH_LEVEL.
void* kernel_host::allocate(std::size_t bytes) { return ExAllocatePoolWithTag(NonPagedPool, bytes, POOL_TAG); }

void kernel_host::free(void* memory)
{
    if (memory)
        ExFreePoolWithTag(memory, POOL_TAG);
}

std::uint32_t kernel_host::seconds_since_1980()
{
    const std::int64_t seconds = system_time() / 10000000 - SECONDS_1601_TO_1980;
    return seconds > 0 ? static_cast<std::uint32_t>(seconds) : 0;
}

// PASSIVE_LEVEL (pause).
void kernel_host::sleep_ms(std::uint32_t milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<std::int64_t>(milliseconds) * 10000;  // relative, 100 ns
    KeDelayExecutionThread(KernelMode, 0, &interval);
}

}  // namespace corvflt::ndis
