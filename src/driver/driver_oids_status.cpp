// OID pass-through (protocols' and the driver's own requests) and status indications.
#include <cstring>
#include <new>

#include "driver/driver.h"
#include "driver/status_records.h"

namespace corvflt {
namespace {

// Receive-side scaling and TCP offload requests: answering them would let a protocol turn
// offloads back on behind the driver's back.
bool is_refused_oid(std::uint32_t oid)
{
    switch (oid) {
    case 0x00010203:
    case 0x00010204:
    case 0x0001021F:
    case 0x0002021D:
    case 0x0101010A:
    case 0xFC030201:
        return true;
    default:
        return oid >= 0xFC01020B && oid <= 0xFC01020F;
    }
}

std::uint32_t load_u32(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void store_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

}  // namespace

void driver::apply_oid_adjustments(adapter_context* adapter, const oid_request& request)
{
    if (!request.data)
        return;
    const std::uint32_t decrement = parameters_.mtu_decrement;
    if (request.type == OID_TYPE_QUERY && request.length >= 4 &&
        (request.oid == OID_GEN_MAXIMUM_FRAME_SIZE || request.oid == OID_GEN_MAXIMUM_TOTAL_SIZE)) {
        const bool frame = request.oid == OID_GEN_MAXIMUM_FRAME_SIZE;
        const std::uint32_t cap = frame ? MAX_ADAPTER_MTU : MAX_TOTAL_SIZE;
        std::uint32_t value = load_u32(request.data);
        if (value > cap)
            value = cap;
        if (frame)
            adapter->mtu.store(static_cast<std::uint16_t>(value));
        store_u32(request.data, value > decrement ? value - decrement : 0);
    } else if (request.type == OID_TYPE_QUERY && request.oid == OID_802_3_CURRENT_ADDRESS &&
               request.length >= 6) {
        exclusive_guard<spin_lock> guard(adapter->wan_lock);
        std::memcpy(adapter->mac_address, request.data, 6);
    } else if (request.type == OID_TYPE_SET && request.oid == OID_GEN_CURRENT_PACKET_FILTER) {
        exclusive_guard<spin_lock> guard(adapter->queue_lock);
        if (adapter->filter_change_event)
            host_.signal_event(adapter->filter_change_event);
    }
}

ntstatus driver::on_protocol_oid(adapter_context* adapter, oid_request* request)
{
    if (is_refused_oid(request->oid)) {
        request->bytes_done = 0;
        return NDIS_STATUS_NOT_SUPPORTED;
    }
    adapter->pending_forwarded.fetch_add(1);
    const ntstatus status = host_.request_oid(adapter->host_adapter, request);
    if (status == STATUS_PENDING)
        return status;
    if (status == STATUS_SUCCESS)
        apply_oid_adjustments(adapter, *request);
    adapter->pending_forwarded.fetch_sub(1);
    return status;
}

void driver::complete_oid(adapter_context* adapter, oid_request* request, ntstatus status)
{
    internal_oid_request* internal = nullptr;
    {
        exclusive_guard<spin_lock> guard(adapter->oid_lock);
        for (internal_oid_request* r = adapter->internal_requests; r; r = r->next) {
            if (&r->request == request) {
                internal = r;
                break;
            }
        }
    }
    if (internal) {
        finish_internal_oid(adapter, internal, status);
        return;
    }
    if (status == STATUS_SUCCESS)
        apply_oid_adjustments(adapter, *request);
    adapter->pending_forwarded.fetch_sub(1);
    host_.complete_protocol_oid(adapter->host_adapter, request, status);
}

ntstatus driver::issue_internal_oid(adapter_context* adapter, internal_oid_request* request)
{
    {
        exclusive_guard<spin_lock> guard(adapter->oid_lock);
        request->next = adapter->internal_requests;
        adapter->internal_requests = request;
    }
    const ntstatus status = host_.request_oid(adapter->host_adapter, &request->request);
    if (status != STATUS_PENDING) {
        request->control_pending = false;
        finish_internal_oid(adapter, request, status);
    }
    return status;
}

void driver::finish_internal_oid(adapter_context* adapter, internal_oid_request* request,
                                 ntstatus status)
{
    {
        exclusive_guard<spin_lock> guard(adapter->oid_lock);
        for (internal_oid_request** p = &adapter->internal_requests; *p; p = &(*p)->next) {
            if (*p == request) {
                *p = request->next;
                break;
            }
        }
    }
    if (status == STATUS_SUCCESS)
        apply_oid_adjustments(adapter, request->request);
    if (request->from_control && request->control_pending) {
        // The record's length field reports what NDIS moved, or the failure status.
        store_u32(request->control_buffer + 12,
                  status == STATUS_SUCCESS ? request->request.bytes_done : status);
        host_.complete_control_request(request->control_token, status,
                                       status == STATUS_SUCCESS ? request->control_length : 0);
    }
    request->~internal_oid_request();
    host_.free(request);
}

void driver::send_offload_parameters(adapter_context* adapter)
{
    void* memory = host_.allocate(sizeof(internal_oid_request));
    if (!memory)
        return;
    internal_oid_request* r = new (memory) internal_oid_request{};
    std::memcpy(r->inline_data, adapter->offload_parameters, OFFLOAD_PARAMETERS_SIZE);
    r->request.type = OID_TYPE_SET;
    r->request.oid = OID_TCP_OFFLOAD_PARAMETERS;
    r->request.data = r->inline_data;
    r->request.length = OFFLOAD_PARAMETERS_SIZE;
    issue_internal_oid(adapter, r);
}

void driver::wan_line_up(adapter_context* adapter, std::uint8_t* buffer, std::uint32_t length)
{
    std::uint32_t maximum_total = load_u32(buffer + WAN_LINE_UP_MAXIMUM_TOTAL_SIZE);
    maximum_total = maximum_total > parameters_.mtu_decrement
                        ? maximum_total - parameters_.mtu_decrement
                        : 0;
    store_u32(buffer + WAN_LINE_UP_MAXIMUM_TOTAL_SIZE, maximum_total);
    {
        exclusive_guard<spin_lock> guard(adapter->wan_lock);
        std::memcpy(adapter->wan_remote_address, buffer + WAN_LINE_UP_REMOTE_ADDRESS, 6);
        std::memcpy(adapter->wan_local_address, buffer + WAN_LINE_UP_LOCAL_ADDRESS, 6);
        adapter->wan_link_speed = load_u32(buffer + WAN_LINE_UP_LINK_SPEED);
    }
    signal_global(&driver::wan_event_);
    host_.indicate_status(adapter->host_adapter, STATUS_INDICATION_WAN_LINE_UP, buffer, length);

    void* memory = host_.allocate(sizeof(wan_link));
    if (!memory)
        return;
    wan_link* link = new (memory) wan_link{};
    tarnwell::WAN_LINK_INFO& info = link->info;
    info.link_speed = load_u32(buffer + WAN_LINE_UP_LINK_SPEED);
    info.maximum_total_size = maximum_total;
    std::memcpy(info.remote_address, buffer + WAN_LINE_UP_REMOTE_ADDRESS, 6);
    std::memcpy(info.local_address, buffer + WAN_LINE_UP_LOCAL_ADDRESS, 6);
    // The protocol buffer is bounded by what the indication really holds, not by its claim.
    std::uint32_t claimed = load_u32(buffer + WAN_LINE_UP_PROTOCOL_BUFFER_LENGTH);
    std::uint32_t present = length - WAN_LINE_UP_PROTOCOL_BUFFER;
    std::uint32_t copy = claimed < present ? claimed : present;
    if (copy > tarnwell::WAN_PROTOCOL_BUFFER_SIZE)
        copy = tarnwell::WAN_PROTOCOL_BUFFER_SIZE;
    info.protocol_buffer_length = claimed;
    std::memcpy(info.protocol_buffer, buffer + WAN_LINE_UP_PROTOCOL_BUFFER, copy);

    bool duplicate = false;
    {
        exclusive_guard<spin_lock> guard(adapter->wan_lock);
        wan_link** tail = &adapter->wan_links;
        for (; *tail; tail = &(*tail)->next) {
            if (std::memcmp((*tail)->info.local_address + 2, info.local_address + 2, 4) == 0)
                duplicate = true;
        }
        if (!duplicate && adapter->wan_link_count < tarnwell::MAX_WAN_LINKS) {
            *tail = link;
            ++adapter->wan_link_count;
            link = nullptr;
        }
    }
    if (link)
        host_.free(link);
}

void driver::wan_line_down(adapter_context* adapter, const std::uint8_t* buffer,
                           std::uint32_t /*length*/)
{
    wan_link* removed = nullptr;
    {
        exclusive_guard<spin_lock> guard(adapter->wan_lock);
        std::memset(adapter->wan_remote_address, 0, 6);
        std::memset(adapter->wan_local_address, 0, 6);
        adapter->wan_link_speed = 0;
        for (wan_link** p = &adapter->wan_links; *p; p = &(*p)->next) {
            if (std::memcmp((*p)->info.remote_address, buffer + WAN_LINE_DOWN_REMOTE_ADDRESS, 6) == 0 &&
                std::memcmp((*p)->info.local_address, buffer + WAN_LINE_DOWN_LOCAL_ADDRESS, 6) == 0) {
                removed = *p;
                *p = removed->next;
                --adapter->wan_link_count;
                break;
            }
        }
    }
    if (removed)
        host_.free(removed);
    signal_global(&driver::wan_event_);
}

void driver::on_status(adapter_context* adapter, std::uint32_t code, std::uint8_t* buffer,
                       std::uint32_t length)
{
    if (!buffer)
        length = 0;
    switch (code) {
    case STATUS_INDICATION_WAN_LINE_UP:
        if (length >= WAN_LINE_UP_MIN_SIZE) {
            wan_line_up(adapter, buffer, length);
            return;
        }
        break;
    case STATUS_INDICATION_WAN_LINE_DOWN:
        if (length >= WAN_LINE_DOWN_MIN_SIZE)
            wan_line_down(adapter, buffer, length);
        break;
    case STATUS_INDICATION_MOBILE_BROADBAND_CONTEXT_STATE:
        if (length >= MBB_CONTEXT_MIN_SIZE) {
            const std::uint32_t state = load_u32(buffer + MBB_CONTEXT_ACTIVATION_STATE);
            if (state == MBB_ACTIVATED) {
                {
                    exclusive_guard<spin_lock> guard(adapter->wan_lock);
                    adapter->mbb_connection_id = load_u32(buffer + MBB_CONTEXT_CONNECTION_ID);
                }
                signal_global(&driver::wan_event_);
            } else if (state == MBB_DEACTIVATED && load_u32(buffer + MBB_CONTEXT_ERROR) == 0) {
                {
                    exclusive_guard<spin_lock> guard(adapter->wan_lock);
                    std::memset(adapter->wan_local_address, 0, 6);
                }
                signal_global(&driver::wan_event_);
            }
        }
        break;
    case STATUS_INDICATION_OFFLOAD_CURRENT_CONFIG:
    case STATUS_INDICATION_OFFLOAD_HARDWARE_CAPABILITIES:
        if (length >= OFFLOAD_CONFIG_MIN_INDICATION) {
            const std::uint32_t n = length < OFFLOAD_CONFIG_SIZE ? length : OFFLOAD_CONFIG_SIZE;
            std::memcpy(adapter->stored_offload, buffer, n);
            adapter->stored_offload_length = n;
            adapter->stored_offload_reindicated = false;
            hide_offloads(adapter->stored_offload, n, nullptr);
            host_.indicate_status(adapter->host_adapter, code, adapter->stored_offload, n);
            return;
        }
        break;
    case STATUS_INDICATION_OFFLOAD_ENCAPSULATION_CHANGE:
        if (length >= ENCAPSULATION_MIN_SIZE) {
            store_u32(buffer + ENCAPSULATION_IPV4, ENCAPSULATION_OFF);
            store_u32(buffer + ENCAPSULATION_IPV6, ENCAPSULATION_OFF);
        }
        break;
    case STATUS_INDICATION_TCP_CONNECTION_OFFLOAD_CAPABILITIES:
        if (length >= TCP_CONNECTION_OFFLOAD_MIN_SIZE)
            std::memset(buffer + TCP_CONNECTION_OFFLOAD_CAPS, 0,
                        TCP_CONNECTION_OFFLOAD_MIN_SIZE - TCP_CONNECTION_OFFLOAD_CAPS);
        break;
    default:
        break;
    }
    host_.indicate_status(adapter->host_adapter, code, buffer, length);
}

}  // namespace corvflt
