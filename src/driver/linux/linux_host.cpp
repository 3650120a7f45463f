#include "driver/linux/linux_host.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include "driver/driver_constants.h"
#include "driver/linux/caller.h"
#include "driver/linux/caller_access.h"
#include "driver/linux/log.h"

namespace corvflt::linux_host {

namespace {

constexpr std::uint32_t OID_802_3_PERMANENT_ADDRESS = 0x01010101;
constexpr ntstatus NDIS_STATUS_SUCCESS = 0;
constexpr ntstatus NDIS_STATUS_INVALID_LENGTH = 0xC0010014;
constexpr std::uint32_t SECONDS_1970_TO_1980 = 315532800;

// The host's event record behind the core's opaque host_event pointer.
struct event_record {
    int fd;
};

ntstatus answer_query(std::uint32_t value, oid_request* request)
{
    if (request->length < 4 || !request->data)
        return NDIS_STATUS_INVALID_LENGTH;
    std::memcpy(request->data, &value, 4);
    request->bytes_done = 4;
    return NDIS_STATUS_SUCCESS;
}

}  // namespace

linux_host::linux_host() : core_(*this), stack_loop_(core_, true), wire_loop_(core_, false) {}

linux_host::~linux_host() { shutdown(); }

bool linux_host::start(const driver_parameters& parameters)
{
    if (core_.load(parameters) != STATUS_SUCCESS) {
        log_line("cannot allocate the packet pools");
        return false;
    }
    loaded_ = true;
    if (!stack_loop_.start() || !wire_loop_.start()) {
        log_line("cannot start the I/O threads: %s", std::strerror(errno));
        return false;
    }
    return true;
}

host_adapter* linux_host::find(const std::string& stack_name)
{
    for (auto& a : adapters_) {
        if (a->spec.stack_name == stack_name)
            return a.get();
    }
    return nullptr;
}

bool linux_host::attach_adapter(const adapter_spec& spec, std::string* error)
{
    auto adapter = std::make_unique<host_adapter>();
    adapter->spec = spec;
    adapter->internal_name = "\\DEVICE\\{" + spec.stack_name + "}";
    const bool tap = spec.medium == tarnwell::NDIS_MEDIUM_802_3;
    const int netns_fd = open_netns(spec.wire_netns, error);
    if (netns_fd < 0)
        return false;
    bool ok = open_tun_device(spec.stack_name, tap, -1, &adapter->stack, error);
    if (ok)
        ok = open_tun_device(spec.wire_name, tap, netns_fd, &adapter->wire, error);
    close(netns_fd);
    if (!ok) {
        close_devices(adapter.get());
        return false;
    }
    adapter->adapter_mtu = adapter->stack.mtu;
    adapter->last_up = adapter->stack.up;

    adapter_description description;
    description.host_adapter = adapter.get();
    description.base_miniport_name = adapter->internal_name.c_str();
    description.medium = spec.medium;
    description.interface_index = adapter->stack.ifindex;
    static const std::uint8_t no_address[6] = {};
    description.mac_address = tap ? adapter->stack.mac : no_address;
    description.mac_length = 6;
    ntstatus status = 0;
    adapter->context = core_.attach(description, &status);
    if (!adapter->context) {
        *error = "the core refused the adapter, status " + std::to_string(status);
        close_devices(adapter.get());
        return false;
    }
    if (!stack_loop_.add(adapter.get()) || !wire_loop_.add(adapter.get())) {
        *error = std::string("epoll_ctl: ") + std::strerror(errno);
        stack_loop_.remove(adapter.get());
        wire_loop_.remove(adapter.get());
        core_.detach(adapter->context);
        close_devices(adapter.get());
        return false;
    }
    std::uint32_t mtu = adapter->adapter_mtu;
    std::uint32_t lookahead = 0;
    core_.restart(adapter->context, &mtu, &lookahead);
    // MTUDecrement: the stack above sees the reduced MTU, as protocols bound over the
    // filter would. The adapter's own MTU stays the one recorded at attach, so restarts
    // never reduce it twice.
    if (mtu != adapter->stack.mtu && core_.parameters().mtu_decrement != 0 &&
        !set_interface_mtu(spec.stack_name, mtu))
        log_line("%s: cannot set MTU %u: %s", spec.stack_name.c_str(), mtu, std::strerror(errno));
    adapter->running = true;
    log_line("attached %s (%s, medium %u, mtu %u%s) wire %s/%s%s", spec.stack_name.c_str(),
             adapter->internal_name.c_str(), spec.medium, adapter->adapter_mtu,
             adapter->stack.created ? ", created" : "", spec.wire_netns.c_str(),
             spec.wire_name.c_str(), adapter->wire.created ? " (created)" : "");
    adapters_.push_back(std::move(adapter));
    return true;
}

void linux_host::close_devices(host_adapter* adapter)
{
    // Devices we created are not persistent: closing their fd removes them.
    if (adapter->stack.fd >= 0)
        close(adapter->stack.fd);
    if (adapter->wire.fd >= 0)
        close(adapter->wire.fd);
    adapter->stack.fd = adapter->wire.fd = -1;
}

void linux_host::detach_adapter(host_adapter* adapter, const char* reason)
{
    stack_loop_.remove(adapter);
    wire_loop_.remove(adapter);
    if (adapter->running)
        core_.pause(adapter->context);  // waits for control requests still using it
    adapter->running = false;
    core_.detach(adapter->context);
    close_devices(adapter);
    const std::uint64_t failures = adapter->write_failures.load();
    log_line("detached %s (%s; %llu frames could not be written)", adapter->spec.stack_name.c_str(),
             reason, static_cast<unsigned long long>(failures));
    for (auto it = adapters_.begin(); it != adapters_.end(); ++it) {
        if (it->get() == adapter) {
            adapters_.erase(it);
            break;
        }
    }
}

void linux_host::link_changed(const std::string& name, bool present, bool up,
                              std::uint32_t ifindex)
{
    host_adapter* adapter = find(name);
    if (adapter && (!present || adapter->stack.ifindex != ifindex)) {
        detach_adapter(adapter, present ? "device replaced" : "device removed");
        adapter = nullptr;
    }
    if (!present)
        return;
    if (!adapter) {
        for (const adapter_spec& spec : configured_) {
            if (spec.stack_name != name)
                continue;
            std::string error;
            if (!attach_adapter(spec, &error))
                log_line("cannot attach %s again: %s", name.c_str(), error.c_str());
            return;
        }
        return;
    }
    if (up == adapter->last_up)
        return;
    adapter->last_up = up;
    if (!up && adapter->running) {
        core_.pause(adapter->context);
        adapter->running = false;
        log_line("paused %s (device down)", name.c_str());
    } else if (up && !adapter->running) {
        std::uint32_t mtu = adapter->adapter_mtu;
        std::uint32_t lookahead = 0;
        core_.restart(adapter->context, &mtu, &lookahead);
        adapter->running = true;
        log_line("restarted %s (device up)", name.c_str());
    }
}

void linux_host::shutdown()
{
    while (!adapters_.empty())
        detach_adapter(adapters_.back().get(), "stopping");
    stack_loop_.stop();
    wire_loop_.stop();
    if (loaded_)
        core_.unload();
    loaded_ = false;
}

// --- data path -------------------------------------------------------------------------

void linux_host::send_to_adapter(void* host, const frame_view* frames, std::uint32_t count)
{
    auto* adapter = static_cast<host_adapter*>(host);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (write(adapter->wire.fd, frames[i].data, frames[i].length) < 0)
            adapter->write_failures.fetch_add(1, std::memory_order_relaxed);
    }
}

void linux_host::indicate_to_stack(void* host, const frame_view* frames, std::uint32_t count)
{
    auto* adapter = static_cast<host_adapter*>(host);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (write(adapter->stack.fd, frames[i].data, frames[i].length) < 0)
            adapter->write_failures.fetch_add(1, std::memory_order_relaxed);
    }
}

// --- OIDs and status ---------------------------------------------------------------------
// TUN/TAP devices have no OID interface: the few queries whose answer the device does have
// are answered from it; everything else, every set included, is not supported. Nothing
// ever pends.

ntstatus linux_host::request_oid(void* host, oid_request* request)
{
    auto* adapter = static_cast<host_adapter*>(host);
    request->bytes_done = 0;
    const bool tap = !adapter->ip_medium();
    if (request->type != OID_TYPE_QUERY)
        return NDIS_STATUS_NOT_SUPPORTED;
    switch (request->oid) {
    case OID_GEN_MAXIMUM_FRAME_SIZE:
        return answer_query(adapter->adapter_mtu, request);
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
        return answer_query(adapter->adapter_mtu + (tap ? 14 : 0), request);
    case OID_802_3_CURRENT_ADDRESS:
    case OID_802_3_PERMANENT_ADDRESS:
        if (!tap)
            return NDIS_STATUS_NOT_SUPPORTED;
        if (request->length < 6 || !request->data)
            return NDIS_STATUS_INVALID_LENGTH;
        std::memcpy(request->data, adapter->stack.mac, 6);
        request->bytes_done = 6;
        return NDIS_STATUS_SUCCESS;
    default:
        return NDIS_STATUS_NOT_SUPPORTED;
    }
}

void linux_host::cancel_oid(void*, oid_request*) {}
void linux_host::complete_protocol_oid(void*, oid_request*, ntstatus) {}
void linux_host::indicate_status(void*, std::uint32_t, const std::uint8_t*, std::uint32_t) {}

void linux_host::complete_control_request(std::uint64_t token, ntstatus status,
                                          std::uint32_t bytes_returned)
{
    auto* pending = reinterpret_cast<pending_request*>(static_cast<std::uintptr_t>(token));
    if (!pending)
        return;
    {
        std::lock_guard<std::mutex> lock(pending->mutex);
        pending->done = true;
        pending->status = status;
        pending->bytes = bytes_returned;
    }
    pending->done_signal.notify_all();
}

// --- events and caller memory -------------------------------------------------------------

host_event* linux_host::reference_event(std::uint64_t open_handle, std::uint64_t user_handle)
{
    const caller* c = from_open_handle(open_handle);
    if (!c)
        return nullptr;
    const int fd = duplicate_caller_eventfd(*c, user_handle);
    if (fd < 0)
        return nullptr;
    auto* record = new (std::nothrow) event_record{fd};
    if (!record) {
        close(fd);
        return nullptr;
    }
    return reinterpret_cast<host_event*>(record);
}

// Runs under a core lock and on the I/O threads: it must never wait for the caller.
void linux_host::signal_event(host_event* event)
{
    const auto* record = reinterpret_cast<event_record*>(event);
    signal_caller_eventfd(record->fd);
}

void linux_host::release_event(host_event* event)
{
    auto* record = reinterpret_cast<event_record*>(event);
    close(record->fd);
    delete record;
}

bool linux_host::read_user(std::uint64_t open_handle, std::uint64_t address, void* destination,
                           std::uint32_t length)
{
    const caller* c = from_open_handle(open_handle);
    return c && caller_present(*c) && read_caller_memory(c->pid, address, destination, length);
}

bool linux_host::write_user(std::uint64_t open_handle, std::uint64_t address, const void* source,
                            std::uint32_t length)
{
    const caller* c = from_open_handle(open_handle);
    return c && caller_present(*c) && write_caller_memory(c->pid, address, source, length);
}

std::uint32_t linux_host::write_user_blocks(std::uint64_t open_handle, const user_block* blocks,
                                           std::uint32_t count)
{
    const caller* c = from_open_handle(open_handle);
    return c && caller_present(*c) ? write_caller_blocks(c->pid, blocks, count) : 0;
}

std::uint32_t linux_host::read_user_blocks(std::uint64_t open_handle, const user_block* blocks,
                                          std::uint32_t count)
{
    const caller* c = from_open_handle(open_handle);
    return c && caller_present(*c) ? read_caller_blocks(c->pid, blocks, count) : 0;
}

// Another process's pages cannot be mapped here safely (they could be unmapped under us):
// shared sections are refused, which the core answers with 0xC000009A.
std::uint8_t* linux_host::map_user_section(std::uint64_t, std::uint64_t, std::uint32_t)
{
    return nullptr;
}

void linux_host::unmap_user_section(std::uint8_t*, std::uint32_t) {}

// --- system services -------------------------------------------------------------------

void* linux_host::allocate(std::size_t bytes)
{
    return ::operator new(bytes, std::align_val_t{64}, std::nothrow);
}

void linux_host::free(void* memory)
{
    ::operator delete(memory, std::align_val_t{64});
}

std::uint32_t linux_host::seconds_since_1980()
{
    const std::time_t now = std::time(nullptr);
    return now > SECONDS_1970_TO_1980 ? static_cast<std::uint32_t>(now - SECONDS_1970_TO_1980) : 0;
}

void linux_host::sleep_ms(std::uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace corvflt::linux_host
