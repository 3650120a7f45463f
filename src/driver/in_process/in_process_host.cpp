#include "driver/in_process/in_process_host.h"

#include <cstring>
#include <new>

#include "platform/event.h"

namespace corvflt::in_process {
namespace {

// Below this nothing is ever mapped; a small integer passed as an address is a caller bug
// that must fail like a probe instead of crashing the test process.
constexpr std::uint64_t lowest_user_address = 0x10000;

// Caller addresses are u64 on the wire; both targets are 64-bit, so every u64 is a pointer.
static_assert(sizeof(std::uintptr_t) == sizeof(std::uint64_t));

bool plausible(std::uint64_t address, std::uint64_t length)
{
    return address >= lowest_user_address && address + length >= address;
}

void* pointer(std::uint64_t address)
{
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
}

struct referenced_event {
    platform::event_reference reference;
};

referenced_event* as_referenced(host_event* event)
{
    return reinterpret_cast<referenced_event*>(event);
}

}  // namespace

void in_process_host::send_to_adapter(void* host_adapter, const frame_view* frames,
                                      std::uint32_t count)
{
    adapters_.send_to_adapter(host_adapter, frames, count);
}

void in_process_host::indicate_to_stack(void* host_adapter, const frame_view* frames,
                                        std::uint32_t count)
{
    adapters_.indicate_to_stack(host_adapter, frames, count);
}

ntstatus in_process_host::request_oid(void* host_adapter, oid_request* request)
{
    return adapters_.request_oid(host_adapter, request);
}

void in_process_host::cancel_oid(void* host_adapter, oid_request* request)
{
    adapters_.cancel_oid(host_adapter, request);
}

void in_process_host::complete_protocol_oid(void* host_adapter, oid_request* request,
                                            ntstatus status)
{
    adapters_.complete_protocol_oid(host_adapter, request, status);
}

void in_process_host::indicate_status(void* host_adapter, std::uint32_t code,
                                      const std::uint8_t* buffer, std::uint32_t length)
{
    adapters_.indicate_status(host_adapter, code, buffer, length);
}

void* in_process_host::allocate(std::size_t bytes) { return adapters_.allocate(bytes); }

void in_process_host::free(void* memory) { adapters_.free(memory); }

std::uint32_t in_process_host::seconds_since_1980() { return adapters_.seconds_since_1980(); }

void in_process_host::sleep_ms(std::uint32_t milliseconds) { adapters_.sleep_ms(milliseconds); }

void in_process_host::complete_control_request(std::uint64_t request_token, ntstatus status,
                                               std::uint32_t bytes_returned)
{
    {
        std::lock_guard<std::mutex> lock(completions_mutex_);
        completions_[request_token] = {status, bytes_returned};
    }
    completed_.notify_all();
}

in_process_host::completion in_process_host::wait_for_completion(std::uint64_t token)
{
    std::unique_lock<std::mutex> lock(completions_mutex_);
    completed_.wait(lock, [&] { return completions_.count(token) != 0; });
    const auto it = completions_.find(token);
    const completion result = it->second;
    completions_.erase(it);
    return result;
}

host_event* in_process_host::reference_event(std::uint64_t, std::uint64_t user_handle)
{
    auto reference = platform::event_reference::from_native(user_handle);
    if (!reference.valid())
        return nullptr;
    auto* held = new (std::nothrow) referenced_event{std::move(reference)};
    if (!held)
        return nullptr;
    referenced_events_.fetch_add(1);
    return reinterpret_cast<host_event*>(held);
}

void in_process_host::signal_event(host_event* event)
{
    // Non-blocking on both backends, as required under the core's lock.
    as_referenced(event)->reference.signal();
}

void in_process_host::release_event(host_event* event)
{
    delete as_referenced(event);
    referenced_events_.fetch_sub(1);
}

bool in_process_host::read_user(std::uint64_t, std::uint64_t address, void* destination,
                                std::uint32_t length)
{
    if (!plausible(address, length))
        return false;
    std::memcpy(destination, pointer(address), length);
    return true;
}

bool in_process_host::write_user(std::uint64_t, std::uint64_t address, const void* source,
                                 std::uint32_t length)
{
    if (!plausible(address, length))
        return false;
    std::memcpy(pointer(address), source, length);
    return true;
}

std::uint8_t* in_process_host::map_user_section(std::uint64_t, std::uint64_t address,
                                                std::uint32_t size)
{
    // The caller's buffer is already addressable from the core: the mapping is the buffer.
    if (!plausible(address, size))
        return nullptr;
    return static_cast<std::uint8_t*>(pointer(address));
}

void in_process_host::unmap_user_section(std::uint8_t*, std::uint32_t) {}

}  // namespace corvflt::in_process
