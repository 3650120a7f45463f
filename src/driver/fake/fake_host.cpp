#include "driver/fake/fake_host.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace corvflt::fake {

fake_host::fake_host() = default;
fake_host::~fake_host() = default;

adapter_context* fake_host::attach(driver& d, const std::string& name, std::uint32_t medium,
                                   const std::uint8_t* mac, std::uint32_t mtu)
{
    fake_adapter* a;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        adapters_.push_back(std::make_unique<fake_adapter>());
        a = adapters_.back().get();
    }
    a->name = name;
    adapter_description description;
    description.host_adapter = a;
    description.base_miniport_name = a->name.c_str();
    description.medium = medium;
    description.mac_address = mac;
    description.mac_length = mac ? 6 : 0;
    ntstatus status = 0;
    a->context = d.attach(description, &status);
    if (!a->context)
        return nullptr;
    std::uint32_t reported = mtu;
    d.restart(a->context, &reported, nullptr);
    return a->context;
}

fake_adapter& fake_host::adapter(adapter_context* context)
{
    return *static_cast<fake_adapter*>(context->host_adapter);
}

void fake_host::detach(driver& d, adapter_context* context)
{
    if (context->running())
        d.pause(context);
    d.detach(context);
}

void fake_host::complete_pending_oids(driver& d, adapter_context* context, ntstatus status,
                                      std::uint32_t bytes_done)
{
    fake_adapter& a = adapter(context);
    std::vector<oid_request*> pending;
    {
        std::lock_guard<std::mutex> lock(a.mutex);
        pending.swap(a.pending_oids);
    }
    for (oid_request* r : pending) {
        r->bytes_done = bytes_done;
        d.complete_oid(context, r, status);
    }
}

std::uint64_t fake_host::create_event()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t handle = next_event_;
    next_event_ += 4;
    events_[handle] = std::make_unique<fake_event>();
    events_[handle]->handle = handle;
    return handle;
}

fake_event& fake_host::event(std::uint64_t handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return *events_.at(handle);
}

void fake_host::register_memory(const void* start, std::size_t length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    memory_[reinterpret_cast<std::uintptr_t>(start)] = length;
}

void fake_host::unregister_memory(const void* start)
{
    std::lock_guard<std::mutex> lock(mutex_);
    memory_.erase(reinterpret_cast<std::uintptr_t>(start));
}

bool fake_host::accessible(std::uint64_t address, std::uint32_t length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = memory_.upper_bound(static_cast<std::uintptr_t>(address));
    if (it == memory_.begin())
        return false;
    --it;
    const std::uint64_t start = it->first;
    const std::uint64_t end = start + it->second;
    return address >= start && address <= end && length <= end - address;
}

bool fake_host::completion_of(std::uint64_t token, completion* out)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = completions_.find(token);
    if (it == completions_.end())
        return false;
    *out = it->second;
    return true;
}

void fake_host::send_to_adapter(void* host_adapter, const frame_view* frames, std::uint32_t count)
{
    fake_adapter& a = *static_cast<fake_adapter*>(host_adapter);
    std::lock_guard<std::mutex> lock(a.mutex);
    ++a.send_calls;
    for (std::uint32_t i = 0; i < count; ++i)
        a.sent.push_back({{frames[i].data, frames[i].data + frames[i].length},
                          frames[i].ieee8021q, frames[i].frame_type});
}

void fake_host::indicate_to_stack(void* host_adapter, const frame_view* frames, std::uint32_t count)
{
    fake_adapter& a = *static_cast<fake_adapter*>(host_adapter);
    std::lock_guard<std::mutex> lock(a.mutex);
    ++a.indicate_calls;
    for (std::uint32_t i = 0; i < count; ++i)
        a.indicated.push_back({{frames[i].data, frames[i].data + frames[i].length},
                               frames[i].ieee8021q, frames[i].frame_type});
}

ntstatus fake_host::request_oid(void* host_adapter, oid_request* request)
{
    fake_adapter& a = *static_cast<fake_adapter*>(host_adapter);
    std::lock_guard<std::mutex> lock(a.mutex);
    a.oids.push_back({request->type, request->oid,
                      {request->data, request->data + request->length}});
    if (request->type == OID_TYPE_QUERY && !a.oid_answer.empty()) {
        const std::size_t n = std::min<std::size_t>(a.oid_answer.size(), request->length);
        std::memcpy(request->data, a.oid_answer.data(), n);
        request->bytes_done = static_cast<std::uint32_t>(n);
    } else {
        request->bytes_done = request->length;
    }
    if (a.pend_oids) {
        a.pending_oids.push_back(request);
        return STATUS_PENDING;
    }
    return a.oid_status;
}

void fake_host::cancel_oid(void* host_adapter, oid_request*)
{
    fake_adapter& a = *static_cast<fake_adapter*>(host_adapter);
    std::lock_guard<std::mutex> lock(a.mutex);
    ++a.cancels;
}

void fake_host::complete_protocol_oid(void* host_adapter, oid_request* request, ntstatus status)
{
    fake_adapter& a = *static_cast<fake_adapter*>(host_adapter);
    std::lock_guard<std::mutex> lock(a.mutex);
    a.protocol_completions.emplace_back(request, status);
}

void fake_host::indicate_status(void* host_adapter, std::uint32_t code, const std::uint8_t* buffer,
                                std::uint32_t length)
{
    fake_adapter& a = *static_cast<fake_adapter*>(host_adapter);
    std::lock_guard<std::mutex> lock(a.mutex);
    a.statuses.push_back({code, {buffer, buffer + length}});
}

void fake_host::complete_control_request(std::uint64_t token, ntstatus status,
                                         std::uint32_t bytes_returned)
{
    std::lock_guard<std::mutex> lock(mutex_);
    completions_[token] = {status, bytes_returned};
}

host_event* fake_host::reference_event(std::uint64_t, std::uint64_t user_handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = events_.find(user_handle);
    if (it == events_.end())
        return nullptr;
    it->second->references.fetch_add(1);
    return reinterpret_cast<host_event*>(it->second.get());
}

void fake_host::signal_event(host_event* event)
{
    reinterpret_cast<fake_event*>(event)->signals.fetch_add(1);
}

void fake_host::release_event(host_event* event)
{
    reinterpret_cast<fake_event*>(event)->references.fetch_sub(1);
}

bool fake_host::read_user(std::uint64_t, std::uint64_t address, void* destination,
                          std::uint32_t length)
{
    if (read_hook)
        read_hook();
    if (!accessible(address, length))
        return false;
    std::memcpy(destination, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)),
                length);
    return true;
}

bool fake_host::write_user(std::uint64_t, std::uint64_t address, const void* source,
                           std::uint32_t length)
{
    if (!accessible(address, length))
        return false;
    std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), source, length);
    return true;
}

std::uint8_t* fake_host::map_user_section(std::uint64_t, std::uint64_t address, std::uint32_t size)
{
    if (!accessible(address, size))
        return nullptr;
    mapped_.fetch_add(1);
    return reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(address));
}

void fake_host::unmap_user_section(std::uint8_t*, std::uint32_t) { mapped_.fetch_sub(1); }

void* fake_host::allocate(std::size_t bytes)
{
    if (fail_allocations)
        return nullptr;
    void* memory = std::malloc(bytes);
    if (memory)
        allocations_.fetch_add(1);
    return memory;
}

void fake_host::free(void* memory)
{
    if (!memory)
        return;
    allocations_.fetch_sub(1);
    std::free(memory);
}

void fake_host::sleep_ms(std::uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace corvflt::fake
