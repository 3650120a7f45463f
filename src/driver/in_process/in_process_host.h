#pragma once
// A driver host for running the driver core inside the caller's own process, behind an
// in_process_device: adapters come from a fake::fake_host (tests attach them and feed and
// observe their traffic there), while events, caller memory and control completions behave
// as the real driver's do for a user-mode caller:
// - events are platform::event native handles, referenced by duplication, so the caller
//   may close its event right after handing it over;
// - caller memory is this process's memory at the addresses the caller passed. The callers
//   are this process's own code, so no probe is possible or needed; null, the low 64 KiB
//   and ranges that wrap around are still refused like a failed probe;
// - a control request the core leaves pending is waited for, so control() stays
//   synchronous as DeviceIoControl on the driver is.
//
// Owns its event references and pending completions; borrows the fake host, which must
// outlive it. The driver core calls it from any thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "driver/driver_host.h"
#include "driver/fake/fake_host.h"

namespace corvflt::in_process {

class in_process_host final : public driver_host {
public:
    explicit in_process_host(fake::fake_host& adapters) : adapters_(adapters) {}
    ~in_process_host() override = default;
    in_process_host(const in_process_host&) = delete;
    in_process_host& operator=(const in_process_host&) = delete;

    // Events the core holds a reference on right now (tests check release on close).
    std::int32_t referenced_events() const { return referenced_events_.load(); }

    // --- used by in_process_device ---
    std::uint64_t next_request_token() { return next_token_.fetch_add(1); }
    struct completion {
        ntstatus status = 0;
        std::uint32_t bytes = 0;
    };
    // Blocks until complete_control_request(token, ...) arrived (it may have already).
    completion wait_for_completion(std::uint64_t token);

    // driver_host: data path, OIDs, status and system services go to the fake host.
    void send_to_adapter(void* host_adapter, const frame_view* frames,
                         std::uint32_t count) override;
    void indicate_to_stack(void* host_adapter, const frame_view* frames,
                           std::uint32_t count) override;
    ntstatus request_oid(void* host_adapter, oid_request* request) override;
    void cancel_oid(void* host_adapter, oid_request* request) override;
    void complete_protocol_oid(void* host_adapter, oid_request* request,
                               ntstatus status) override;
    void indicate_status(void* host_adapter, std::uint32_t code, const std::uint8_t* buffer,
                         std::uint32_t length) override;
    void* allocate(std::size_t bytes) override;
    void free(void* memory) override;
    std::uint32_t seconds_since_1980() override;
    void sleep_ms(std::uint32_t milliseconds) override;

    // driver_host: what a user-mode caller of the real driver would see.
    void complete_control_request(std::uint64_t request_token, ntstatus status,
                                  std::uint32_t bytes_returned) override;
    host_event* reference_event(std::uint64_t open_handle, std::uint64_t user_handle) override;
    void signal_event(host_event* event) override;
    void release_event(host_event* event) override;
    bool read_user(std::uint64_t open_handle, std::uint64_t address, void* destination,
                   std::uint32_t length) override;
    bool write_user(std::uint64_t open_handle, std::uint64_t address, const void* source,
                    std::uint32_t length) override;
    std::uint8_t* map_user_section(std::uint64_t open_handle, std::uint64_t address,
                                   std::uint32_t size) override;
    void unmap_user_section(std::uint8_t* mapping, std::uint32_t size) override;

private:
    fake::fake_host& adapters_;
    std::atomic<std::int32_t> referenced_events_{0};
    std::atomic<std::uint64_t> next_token_{1};

    std::mutex completions_mutex_;
    std::condition_variable completed_;
    std::map<std::uint64_t, completion> completions_;  // guarded by completions_mutex_
};

}  // namespace corvflt::in_process
