// corvflt.sys: DriverEntry and unload, the registry parameters, and the NDIS filter entry
// points. Each handler translates between NDIS's records and the core's, and leaves every
// decision to the core.
#include <atomic>
#include <cstring>
#include <new>

#include "driver/driver_constants.h"
#include "driver/pause_counter_hold.h"
#include "driver/ndis/binding.h"
#include "driver/ndis/kernel_shim.h"
#include "driver/status_records.h"

namespace corvflt::ndis {

using namespace nt;

binding* the_binding = nullptr;

namespace {

// The filter's unique name; the INF's NetCfgInstanceId must match it.
constexpr char16_t UNIQUE_NAME[] = u"{5C3B1E2A-7F64-4D1B-9C0E-3A8F2D6B1C47}";
constexpr char16_t FRIENDLY_NAME[] = u"Corvane VPN Gateway Filter";
constexpr char16_t SERVICE_NAME[] = u"CORVFLT";
constexpr char16_t PARAMETERS_PATH[] = u"CORVFLT\\Parameters";

// NBs of one NBL handed to the core per call when their data is contiguous.
constexpr std::uint32_t JUDGE_BATCH = 16;

template <std::size_t N>
UNICODE_STRING literal(const char16_t (&text)[N])
{
    return UNICODE_STRING{static_cast<USHORT>((N - 1) * 2), static_cast<USHORT>(N * 2),
                          const_cast<char16_t*>(text)};
}

filter_module* module_of(NDIS_HANDLE context) { return static_cast<filter_module*>(context); }

std::uint16_t swap16(std::uint16_t v) { return static_cast<std::uint16_t>(v << 8 | v >> 8); }

// ------------------------------------------------------------------------ registry

NTSTATUS take_dword(const WCHAR* /*name*/, ULONG type, PVOID data, ULONG length, PVOID /*context*/,
                    PVOID entry)
{
    // A value of another type or size is ignored: the parameter keeps its default.
    if (type == REG_DWORD && length == sizeof(std::uint32_t))
        std::memcpy(entry, data, sizeof(std::uint32_t));
    return nt::STATUS_SUCCESS;
}

// PASSIVE_LEVEL. A missing key or value leaves the defaults (0); the query's own status
// does not matter.
driver_parameters read_parameters()
{
    driver_parameters parameters{};
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0] = RTL_QUERY_REGISTRY_TABLE{take_dword, 0, u"MTUDecrement", &parameters.mtu_decrement, REG_NONE,
                                        nullptr, 0};
    table[1] = RTL_QUERY_REGISTRY_TABLE{take_dword, 0, u"StartupMode", &parameters.startup_mode, REG_NONE,
                                        nullptr, 0};
    UNICODE_STRING name = literal(u"RtlQueryRegistryValuesEx");
    auto* query = reinterpret_cast<RTL_QUERY_REGISTRY_VALUES*>(MmGetSystemRoutineAddress(&name));
    if (!query)
        query = RtlQueryRegistryValues;
    query(RTL_REGISTRY_SERVICES, PARAMETERS_PATH, table, nullptr, nullptr);
    return parameters;
}

// ------------------------------------------------------------------------ frames of an NBL

// The adapter record of a module whose attach may still be returning on another CPU (an
// OID the core sent during attach can complete before attach has stored the record).
adapter_context* core_of(filter_module* module)
{
    adapter_context* a;
    while (!(a = std::atomic_ref<adapter_context*>(module->core).load(std::memory_order_acquire)))
        host_cpu_relax();
    return a;
}

// Describes one NB for the core. The data is read in place when it is contiguous, else
// copied into `storage` (1514 bytes); a longer frame shows only its first 1514 bytes but
// keeps its real length, which is all the core looks at before passing it.
frame_view view_of(const filter_module* module, NET_BUFFER_LIST* nbl, NET_BUFFER* nb, std::uint8_t* storage,
                   bool* copied)
{
    frame_view view{};
    const ULONG length = NET_BUFFER_DATA_LENGTH(nb);
    const ULONG visible = length < INJECTED_DATA_SIZE ? length : INJECTED_DATA_SIZE;
    view.length = length;
    *copied = false;
    if (visible) {
        auto* data = static_cast<const std::uint8_t*>(NdisGetDataBuffer(nb, visible, storage, 1, 0));
        view.data = data;
        *copied = data == storage;
    }
    view.ieee8021q = static_cast<std::uint32_t>(
        reinterpret_cast<std::uintptr_t>(nbl->NetBufferListInfo[Ieee8021QNetBufferListInfo]));
    view.loopback = (nbl->NblFlags & NDIS_NBL_FLAGS_IS_LOOPBACK_PACKET) != 0;
    if (is_ip_medium(static_cast<std::uint32_t>(module->medium))) {
        view.frame_type = swap16(static_cast<std::uint16_t>(
            reinterpret_cast<std::uintptr_t>(nbl->NetBufferListInfo[NetBufferListFrameType])));
        // Some IP-medium adapters leave the frame type unset: the version nibble tells.
        if (view.frame_type == 0 && view.data && visible)
            view.frame_type = (view.data[0] >> 4) == 6 ? 0x86DD : 0x0800;
    }
    return view;
}

// Copies of NBs that passed inside an NBL the core consumed, sent or indicated as one chain.
struct copy_chain {
    NET_BUFFER_LIST* head = nullptr;
    NET_BUFFER_LIST** tail = &head;
    std::uint32_t count = 0;

    void add(binding& b, filter_module* module, NET_BUFFER_LIST* nbl, NET_BUFFER* nb, std::uint8_t* storage)
    {
        bool copied;
        const frame_view view = view_of(module, nbl, nb, storage, &copied);
        NET_BUFFER_LIST* copy = view.data ? b.host.build_nbl(module, view) : nullptr;
        if (!copy)
            return;  // the pool is empty: this frame is lost like any frame under pressure
        *tail = copy;
        tail = &NET_BUFFER_LIST_NEXT_NBL(copy);
        ++count;
    }
    void flush(binding& b, filter_module* module, bool receive)
    {
        if (receive)
            b.host.indicate_chain(module, head, count);
        else
            b.host.send_chain(module, head, count);
        *this = copy_chain{};
    }
};

// Hands every NB of `nbl` to the core. Returns true when all of them pass, so the NBL goes
// on unchanged; false when the core took at least one, and then the NBs that passed have
// been added to `copies` (an NBL travels whole, so its passing frames travel as copies).
bool judge(binding& b, filter_module* module, adapter_context* a, NET_BUFFER_LIST* nbl, bool receive,
           copy_chain& copies)
{
    frame_view views[JUDGE_BATCH];
    frame_fate fates[JUDGE_BATCH];
    NET_BUFFER* nbs[JUDGE_BATCH];
    std::uint8_t storage[INJECTED_DATA_SIZE];
    bool consumed = false;
    NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(nbl);
    if (!nb)
        return true;
    while (nb) {
        std::uint32_t n = 0;
        // Contiguous NBs batch up; one that needed the storage goes alone.
        while (nb && n < JUDGE_BATCH) {
            bool copied;
            const frame_view view = view_of(module, nbl, nb, storage, &copied);
            if (copied && n > 0)
                break;
            views[n] = view;
            nbs[n++] = nb;
            nb = NET_BUFFER_NEXT_NB(nb);
            if (copied)
                break;
        }
        if (receive)
            b.core.on_wire_receive(a, views, n, fates);
        else
            b.core.on_stack_send(a, views, n, fates);
        for (std::uint32_t i = 0; i < n; ++i) {
            if (fates[i] == frame_fate::consumed) {
                if (!consumed) {
                    // Everything before this NB passed: those frames now need copies.
                    consumed = true;
                    for (NET_BUFFER* p = NET_BUFFER_LIST_FIRST_NB(nbl); p != nbs[i]; p = NET_BUFFER_NEXT_NB(p))
                        copies.add(b, module, nbl, p, storage);
                }
            } else if (consumed) {
                copies.add(b, module, nbl, nbs[i], storage);
            }
        }
    }
    return !consumed;
}

// ------------------------------------------------------------------------ driver-wide handlers

// PASSIVE_LEVEL, inside NdisFRegisterFilterDriver.
NDIS_STATUS set_options(NDIS_HANDLE driver_handle, NDIS_HANDLE driver_context)
{
    binding* b = the_binding;
    if (!b || driver_context != b || (b->filter_driver && driver_handle != b->filter_driver))
        return NDIS_STATUS_INVALID_PARAMETER;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS set_module_options(NDIS_HANDLE /*module_context*/) { return NDIS_STATUS_SUCCESS; }

// ------------------------------------------------------------------------ attach, detach, pause, restart
// All PASSIVE_LEVEL, serialised per module by NDIS.

NDIS_STATUS attach(NDIS_HANDLE filter_handle, NDIS_HANDLE driver_context, NDIS_FILTER_ATTACH_PARAMETERS* p)
{
    binding* b = the_binding;
    if (!b || driver_context != b)
        return NDIS_STATUS_INVALID_PARAMETER;
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(filter_module), POOL_TAG);
    if (!memory)
        return NDIS_STATUS_RESOURCES;
    auto* module = new (memory) filter_module{filter_handle, nullptr, p->MiniportMediaType};

    NDIS_FILTER_ATTRIBUTES attributes{};
    attributes.Header.Type = NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES;
    attributes.Header.Revision = NDIS_FILTER_ATTRIBUTES_REVISION_1;
    attributes.Header.Size = sizeof(NDIS_FILTER_ATTRIBUTES);
    const NDIS_STATUS set = NdisFSetAttributes(filter_handle, module, &attributes);
    if (set != NDIS_STATUS_SUCCESS) {
        ExFreePoolWithTag(module, POOL_TAG);
        return set;
    }

    // The ANSI name clients see: characters outside ASCII become '?', so the record never
    // depends on the system's code page.
    char ansi[tarnwell::ADAPTER_NAME_SIZE] = {};
    if (const NDIS_STRING* name = p->BaseMiniportName) {
        const std::uint32_t chars = name->Buffer ? name->Length / 2u : 0;
        for (std::uint32_t i = 0; i < chars && i + 1 < sizeof(ansi); ++i) {
            const char16_t c = name->Buffer[i];
            ansi[i] = c < 0x80 ? static_cast<char>(c) : '?';
        }
    }
    adapter_description description{};
    description.host_adapter = module;
    description.base_miniport_name = ansi;
    description.medium = static_cast<std::uint32_t>(p->MiniportMediaType);
    description.interface_index = p->BaseMiniportIfIndex;
    description.mac_address = p->CurrentMacAddress;
    description.mac_length = p->MacAddressLength < NDIS_MAX_PHYS_ADDRESS_LENGTH ? p->MacAddressLength
                                                                                  : NDIS_MAX_PHYS_ADDRESS_LENGTH;
    if (auto* offload = static_cast<std::uint8_t*>(p->DefaultOffloadConfiguration)) {
        // Edited in place: what the protocols above read from the attach parameters is the
        // configuration without offloads.
        std::uint16_t size;
        std::memcpy(&size, offload + 2, sizeof(size));
        description.offload_configuration = offload;
        description.offload_configuration_length = size < NDIS_OFFLOAD_SIZE ? size : NDIS_OFFLOAD_SIZE;
    }
    ntstatus status = nt::STATUS_SUCCESS;
    adapter_context* a = b->core.attach(description, &status);
    if (!a) {
        ExFreePoolWithTag(module, POOL_TAG);
        return static_cast<NDIS_STATUS>(status);
    }
    std::atomic_ref<adapter_context*>(module->core).store(a, std::memory_order_release);
    return NDIS_STATUS_SUCCESS;
}

void detach(NDIS_HANDLE module_context)
{
    filter_module* module = module_of(module_context);
    the_binding->core.detach(core_of(module));
    module->~filter_module();
    ExFreePoolWithTag(module, POOL_TAG);
}

NDIS_STATUS pause(NDIS_HANDLE module_context, NDIS_FILTER_PAUSE_PARAMETERS* /*parameters*/)
{
    // Returns only when no frame the driver sent or indicated is outstanding and no control
    // request holds the adapter: NDIS may detach right after.
    the_binding->core.pause(core_of(module_of(module_context)));
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS restart(NDIS_HANDLE module_context, NDIS_FILTER_RESTART_PARAMETERS* parameters)
{
    std::uint32_t* mtu = nullptr;
    std::uint32_t* lookahead = nullptr;
    for (NDIS_RESTART_ATTRIBUTES* r = parameters ? parameters->RestartAttributes : nullptr; r; r = r->Next) {
        if (r->Oid == OID_GEN_MINIPORT_RESTART_ATTRIBUTES &&
            r->DataLength >= offsetof(NDIS_RESTART_GENERAL_ATTRIBUTES, MacOptions)) {
            auto* general = reinterpret_cast<NDIS_RESTART_GENERAL_ATTRIBUTES*>(r->Data);
            mtu = &general->MtuSize;
            lookahead = &general->LookaheadSize;
            break;
        }
    }
    the_binding->core.restart(core_of(module_of(module_context)), mtu, lookahead);
    return NDIS_STATUS_SUCCESS;
}

// ------------------------------------------------------------------------ data path (<= DISPATCH_LEVEL)

// Each handler holds the counter pause waits for over its whole run, not only while the core
// judges: the binding's copies of passing frames go out afterwards and must not leave a
// filter that pause has already returned for.
void send(NDIS_HANDLE module_context, NET_BUFFER_LIST* nbls, NDIS_PORT_NUMBER port, ULONG flags)
{
    binding& b = *the_binding;
    filter_module* module = module_of(module_context);
    adapter_context* a = core_of(module);
    const ULONG complete_flags =
        (flags & NDIS_SEND_FLAGS_DISPATCH_LEVEL) ? NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL : 0;
    pause_counter_hold hold(a->outstanding_sends);
    if (!a->running()) {
        for (NET_BUFFER_LIST* n = nbls; n; n = NET_BUFFER_LIST_NEXT_NBL(n))
            n->Status = nt::NDIS_STATUS_PAUSED;
        NdisFSendNetBufferListsComplete(module->filter_handle, nbls, complete_flags);
        return;
    }
    NET_BUFFER_LIST* pass = nullptr;
    NET_BUFFER_LIST** pass_tail = &pass;
    NET_BUFFER_LIST* done = nullptr;
    NET_BUFFER_LIST** done_tail = &done;
    copy_chain copies;
    for (NET_BUFFER_LIST* nbl = nbls; nbl;) {
        NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(nbl);
        NET_BUFFER_LIST_NEXT_NBL(nbl) = nullptr;
        if (judge(b, module, a, nbl, false, copies)) {
            *pass_tail = nbl;
            pass_tail = &NET_BUFFER_LIST_NEXT_NBL(nbl);
        } else {
            nbl->Status = NDIS_STATUS_SUCCESS;
            *done_tail = nbl;
            done_tail = &NET_BUFFER_LIST_NEXT_NBL(nbl);
        }
        nbl = next;
    }
    if (pass)
        NdisFSendNetBufferLists(module->filter_handle, pass, port, flags);
    copies.flush(b, module, false);
    if (done)
        NdisFSendNetBufferListsComplete(module->filter_handle, done, complete_flags);
}

// Frees the lists of `nbls` the binding allocated itself (its injections) and returns the
// chain of the others, which belong to NDIS or to a protocol; `own` counts the freed ones.
NET_BUFFER_LIST* release_own_nbls(binding& b, filter_module* module, NET_BUFFER_LIST* nbls, std::uint32_t& own)
{
    NET_BUFFER_LIST* others = nullptr;
    NET_BUFFER_LIST** tail = &others;
    own = 0;
    for (NET_BUFFER_LIST* nbl = nbls; nbl;) {
        NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(nbl);
        NET_BUFFER_LIST_NEXT_NBL(nbl) = nullptr;
        if (b.host.is_own_nbl(module, nbl)) {
            b.host.free_nbl(nbl);
            ++own;
        } else {
            *tail = nbl;
            tail = &NET_BUFFER_LIST_NEXT_NBL(nbl);
        }
        nbl = next;
    }
    return others;
}

void send_complete(NDIS_HANDLE module_context, NET_BUFFER_LIST* nbls, ULONG flags)
{
    filter_module* module = module_of(module_context);
    std::uint32_t own = 0;
    NET_BUFFER_LIST* others = release_own_nbls(*the_binding, module, nbls, own);
    if (own)
        core_of(module)->outstanding_sends.fetch_sub(own, std::memory_order_acq_rel);
    if (others)
        NdisFSendNetBufferListsComplete(module->filter_handle, others, flags);
}

void cancel_send(NDIS_HANDLE module_context, PVOID cancel_id)
{
    NdisFCancelSendNetBufferLists(module_of(module_context)->filter_handle, cancel_id);
}

void receive(NDIS_HANDLE module_context, NET_BUFFER_LIST* nbls, NDIS_PORT_NUMBER port, ULONG count,
             ULONG flags)
{
    binding& b = *the_binding;
    filter_module* module = module_of(module_context);
    adapter_context* a = core_of(module);
    const bool resources = (flags & NDIS_RECEIVE_FLAGS_RESOURCES) != 0;
    const ULONG return_flags = (flags & NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL) ? NDIS_RETURN_FLAGS_DISPATCH_LEVEL : 0;
    pause_counter_hold hold(a->outstanding_indications);
    if (!a->running()) {
        // With the resources flag the adapter keeps its NBLs once this returns.
        if (!resources)
            NdisFReturnNetBufferLists(module->filter_handle, nbls, return_flags);
        return;
    }
    (void)count;
    copy_chain copies;
    if (resources) {
        // The adapter's chain must be intact when it takes it back: each passing NBL is
        // indicated alone and its link restored.
        for (NET_BUFFER_LIST* nbl = nbls; nbl; nbl = NET_BUFFER_LIST_NEXT_NBL(nbl)) {
            NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(nbl);
            NET_BUFFER_LIST_NEXT_NBL(nbl) = nullptr;
            if (judge(b, module, a, nbl, true, copies))
                NdisFIndicateReceiveNetBufferLists(module->filter_handle, nbl, port, 1, flags);
            NET_BUFFER_LIST_NEXT_NBL(nbl) = next;
        }
        copies.flush(b, module, true);
        return;
    }
    NET_BUFFER_LIST* pass = nullptr;
    NET_BUFFER_LIST** pass_tail = &pass;
    ULONG passed = 0;
    NET_BUFFER_LIST* taken = nullptr;
    NET_BUFFER_LIST** taken_tail = &taken;
    for (NET_BUFFER_LIST* nbl = nbls; nbl;) {
        NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(nbl);
        NET_BUFFER_LIST_NEXT_NBL(nbl) = nullptr;
        if (judge(b, module, a, nbl, true, copies)) {
            *pass_tail = nbl;
            pass_tail = &NET_BUFFER_LIST_NEXT_NBL(nbl);
            ++passed;
        } else {
            *taken_tail = nbl;
            taken_tail = &NET_BUFFER_LIST_NEXT_NBL(nbl);
        }
        nbl = next;
    }
    if (pass)
        NdisFIndicateReceiveNetBufferLists(module->filter_handle, pass, port, passed, flags);
    copies.flush(b, module, true);
    if (taken)
        NdisFReturnNetBufferLists(module->filter_handle, taken, return_flags);
}

void return_nbls(NDIS_HANDLE module_context, NET_BUFFER_LIST* nbls, ULONG flags)
{
    filter_module* module = module_of(module_context);
    std::uint32_t own = 0;
    NET_BUFFER_LIST* others = release_own_nbls(*the_binding, module, nbls, own);
    if (own)
        core_of(module)->outstanding_indications.fetch_sub(own, std::memory_order_acq_rel);
    if (others)
        NdisFReturnNetBufferLists(module->filter_handle, others, flags);
}

// ------------------------------------------------------------------------ OID requests (<= DISPATCH_LEVEL)

NDIS_STATUS oid_request_handler(NDIS_HANDLE module_context, NDIS_OID_REQUEST* request)
{
    binding& b = *the_binding;
    filter_module* module = module_of(module_context);
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(oid_request), POOL_TAG);
    if (!memory)
        return NDIS_STATUS_RESOURCES;
    auto* record = new (memory) oid_request{};
    switch (request->RequestType) {
    case NdisRequestSetInformation:
        record->type = OID_TYPE_SET;
        break;
    case NdisRequestQueryInformation:
    case NdisRequestQueryStatistics:
        record->type = OID_TYPE_QUERY;
        break;
    default:
        record->type = 2;  // method: forwarded, never adjusted
        break;
    }
    record->oid = request->DATA.QUERY_INFORMATION.Oid;
    record->data = static_cast<std::uint8_t*>(request->DATA.QUERY_INFORMATION.InformationBuffer);
    record->length = request->DATA.QUERY_INFORMATION.InformationBufferLength;
    record->host_token = reinterpret_cast<std::uintptr_t>(request);
    const ntstatus status = b.core.on_protocol_oid(core_of(module), record);
    if (status == nt::STATUS_PENDING)
        return NDIS_STATUS_PENDING;  // the record goes with the completion
    if (static_cast<NDIS_STATUS>(status) == nt::NDIS_STATUS_NOT_SUPPORTED) {
        // Refused here or below: nothing was read or written.
        request->DATA.QUERY_INFORMATION.BytesWritten = 0;
        request->DATA.SET_INFORMATION.BytesRead = 0;
    }
    ExFreePoolWithTag(record, POOL_TAG);
    return static_cast<NDIS_STATUS>(status);
}

void oid_request_complete(NDIS_HANDLE module_context, NDIS_OID_REQUEST* request, NDIS_STATUS status)
{
    binding& b = *the_binding;
    filter_module* module = module_of(module_context);
    host_oid* oid = kernel_host::oid_of(request);
    kernel_host::copy_back(oid);
    oid_request* record = oid->core_record;
    const bool internal = oid->internal;
    b.host.free_oid(oid);
    // Internal: the core frees its own record. Forwarded: the core completes the protocol's
    // request through complete_protocol_oid, and the record made above is ours to free.
    b.core.complete_oid(core_of(module), record, static_cast<ntstatus>(status));
    if (!internal) {
        record->~oid_request();
        ExFreePoolWithTag(record, POOL_TAG);
    }
}

void cancel_oid_request(NDIS_HANDLE module_context, PVOID request_id)
{
    NdisFCancelOidRequest(module_of(module_context)->filter_handle, request_id);
}

// ------------------------------------------------------------------------ status and PnP

std::uint32_t load_u32(const void* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// <= DISPATCH_LEVEL.
void status(NDIS_HANDLE module_context, NDIS_STATUS_INDICATION* indication)
{
    binding& b = *the_binding;
    filter_module* module = module_of(module_context);
    const auto code = static_cast<std::uint32_t>(indication->StatusCode);
    auto* buffer = static_cast<std::uint8_t*>(indication->StatusBuffer);
    const std::uint32_t size = buffer ? indication->StatusBufferSize : 0;
    status_translation t;
    t.original = indication;
    switch (code) {
    case STATUS_INDICATION_WAN_LINE_UP: {
        if (size < sizeof(NDIS_WAN_LINE_UP))
            break;
        const auto* up = reinterpret_cast<const NDIS_WAN_LINE_UP*>(buffer);
        std::uint32_t protocol = up->ProtocolBuffer ? up->ProtocolBufferLength : 0;
        if (protocol > tarnwell::WAN_PROTOCOL_BUFFER_SIZE)
            protocol = tarnwell::WAN_PROTOCOL_BUFFER_SIZE;
        std::memcpy(t.portable + WAN_LINE_UP_LINK_SPEED, &up->LinkSpeed, 4);
        std::memcpy(t.portable + WAN_LINE_UP_MAXIMUM_TOTAL_SIZE, &up->MaximumTotalSize, 4);
        std::memcpy(t.portable + WAN_LINE_UP_REMOTE_ADDRESS, up->RemoteAddress, 6);
        std::memcpy(t.portable + WAN_LINE_UP_LOCAL_ADDRESS, up->LocalAddress, 6);
        std::memcpy(t.portable + WAN_LINE_UP_PROTOCOL_BUFFER_LENGTH, &up->ProtocolBufferLength, 4);
        if (protocol)
            std::memcpy(t.portable + WAN_LINE_UP_PROTOCOL_BUFFER, up->ProtocolBuffer, protocol);
        b.core.on_status(core_of(module), code, t.portable, WAN_LINE_UP_PROTOCOL_BUFFER + protocol);
        return;
    }
    case STATUS_INDICATION_MOBILE_BROADBAND_CONTEXT_STATE: {
        // NDIS_WWAN_CONTEXT_STATE: header, uStatus, then ConnectionId and ActivationState.
        if (size < 16)
            break;
        const std::uint32_t error = load_u32(buffer + 4);
        const std::uint32_t connection = load_u32(buffer + 8);
        const std::uint32_t state = load_u32(buffer + 12);
        std::memcpy(t.portable + MBB_CONTEXT_ACTIVATION_STATE, &state, 4);
        std::memcpy(t.portable + MBB_CONTEXT_ERROR, &error, 4);
        std::memcpy(t.portable + MBB_CONTEXT_CONNECTION_ID, &connection, 4);
        b.core.on_status(core_of(module), code, t.portable, MBB_CONTEXT_MIN_SIZE);
        return;
    }
    case STATUS_INDICATION_WAN_LINE_DOWN:
    case STATUS_INDICATION_OFFLOAD_ENCAPSULATION_CHANGE:
    case STATUS_INDICATION_TCP_CONNECTION_OFFLOAD_CAPABILITIES:
        // The core edits what it is given; the adapter's buffer is not ours to change.
        if (size > sizeof(t.portable))
            break;
        std::memcpy(t.portable, buffer, size);
        b.core.on_status(core_of(module), code, t.portable, size);
        return;
    case STATUS_INDICATION_OFFLOAD_CURRENT_CONFIG:
    case STATUS_INDICATION_OFFLOAD_HARDWARE_CAPABILITIES:
        // The core copies these into its own record and indicates the edited copy.
        b.core.on_status(core_of(module), code, buffer, size);
        return;
    default:
        break;
    }
    NdisFIndicateStatus(module->filter_handle, indication);
}

void device_pnp_event(NDIS_HANDLE module_context, NET_DEVICE_PNP_EVENT* event)
{
    NdisFDevicePnPEventNotify(module_of(module_context)->filter_handle, event);
}

NDIS_STATUS net_pnp_event(NDIS_HANDLE module_context, NET_PNP_EVENT_NOTIFICATION* event)
{
    return NdisFNetPnPEvent(module_of(module_context)->filter_handle, event);
}

// ------------------------------------------------------------------------ load and unload (PASSIVE_LEVEL)

void destroy(binding* b)
{
    b->~binding();
    ExFreePoolWithTag(b, POOL_TAG);
}

void unload(DRIVER_OBJECT* /*object*/)
{
    binding* b = the_binding;
    if (!b)
        return;
    deregister_control_device(*b);
    // NDIS pauses and detaches every module before this returns.
    NdisFDeregisterFilterDriver(b->filter_driver);
    b->core.unload();
    NdisFreeNetBufferListPool(b->nbl_pool);
    the_binding = nullptr;
    destroy(b);
}

}  // namespace
}  // namespace corvflt::ndis

namespace nt = corvflt::nt;
using namespace corvflt::nt;
using namespace corvflt::ndis;

extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* driver_object, UNICODE_STRING* /*registry_path*/)
{
    if (the_binding)
        return nt::STATUS_UNSUCCESSFUL;
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(binding), POOL_TAG);
    if (!memory)
        return nt::STATUS_INSUFFICIENT_RESOURCES;
    auto* b = new (memory) binding(driver_object);

    if (b->core.load(read_parameters()) != corvflt::STATUS_SUCCESS) {
        destroy(b);
        return nt::STATUS_UNSUCCESSFUL;
    }
    // The NBL pool exists before the filter registers: NDIS may attach and restart modules
    // inside NdisFRegisterFilterDriver, and a running module may inject at once.
    NET_BUFFER_LIST_POOL_PARAMETERS pool{};
    pool.Header.Type = NDIS_OBJECT_TYPE_DEFAULT;
    pool.Header.Revision = NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1;
    pool.Header.Size = sizeof(pool);
    pool.ProtocolId = NDIS_PROTOCOL_ID_DEFAULT;
    pool.fAllocateNetBuffer = 1;
    pool.PoolTag = NBL_POOL_TAG;
    pool.DataSize = INJECTED_DATA_SIZE;
    b->nbl_pool = NdisAllocateNetBufferListPool(nullptr, &pool);
    if (!b->nbl_pool) {
        b->core.unload();
        destroy(b);
        return nt::STATUS_INSUFFICIENT_RESOURCES;
    }

    driver_object->DriverUnload = unload;
    the_binding = b;
    NDIS_FILTER_DRIVER_CHARACTERISTICS c{};
    c.Header.Type = NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS;
    c.Header.Revision = NDIS_FILTER_CHARACTERISTICS_REVISION_2;
    c.Header.Size = sizeof(c);
    c.MajorNdisVersion = 6;
    c.MinorNdisVersion = 20;
    c.MajorDriverVersion = 3;
    c.MinorDriverVersion = 32;
    c.FriendlyName = literal(FRIENDLY_NAME);
    c.UniqueName = literal(UNIQUE_NAME);
    c.ServiceName = literal(SERVICE_NAME);
    c.SetOptionsHandler = set_options;
    c.SetFilterModuleOptionsHandler = set_module_options;
    c.AttachHandler = attach;
    c.DetachHandler = detach;
    c.RestartHandler = restart;
    c.PauseHandler = pause;
    c.SendNetBufferListsHandler = send;
    c.SendNetBufferListsCompleteHandler = send_complete;
    c.CancelSendNetBufferListsHandler = cancel_send;
    c.ReceiveNetBufferListsHandler = receive;
    c.ReturnNetBufferListsHandler = return_nbls;
    c.OidRequestHandler = oid_request_handler;
    c.OidRequestCompleteHandler = oid_request_complete;
    c.CancelOidRequestHandler = cancel_oid_request;
    c.DevicePnPEventNotifyHandler = device_pnp_event;
    c.NetPnPEventHandler = net_pnp_event;
    c.StatusHandler = status;
    NDIS_STATUS status = NdisFRegisterFilterDriver(driver_object, b, &c, &b->filter_driver);
    if (status != NDIS_STATUS_SUCCESS) {
        the_binding = nullptr;
        driver_object->DriverUnload = nullptr;
        b->core.unload();
        NdisFreeNetBufferListPool(b->nbl_pool);
        destroy(b);
        return status;
    }
    status = register_control_device(*b);
    if (status != nt::STATUS_SUCCESS) {
        NdisFDeregisterFilterDriver(b->filter_driver);
        the_binding = nullptr;
        driver_object->DriverUnload = nullptr;
        b->core.unload();
        NdisFreeNetBufferListPool(b->nbl_pool);
        destroy(b);
        return status;
    }
    return nt::STATUS_SUCCESS;
}
