#pragma once
// An in-process driver host for tests (and for in-process control devices later): adapters
// that only record what the core sends, indicates and asks; events that count their
// signals; caller memory that is this process's memory, but only inside registered ranges,
// so that bad and half-valid addresses fail like a probe.
//
// Thread-safe: every member may be called from any thread (tests drive the core from
// several). May use the standard library freely; it is not part of the core.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/driver_host.h"

namespace corvflt::fake {

struct recorded_frame {
    std::vector<std::uint8_t> data;
    std::uint32_t ieee8021q = 0;
    std::uint16_t frame_type = 0;
};

struct recorded_oid {
    std::uint32_t type = 0;
    std::uint32_t oid = 0;
    std::vector<std::uint8_t> data;  // as sent down
};

struct recorded_status {
    std::uint32_t code = 0;
    std::vector<std::uint8_t> buffer;
};

// One adapter below the filter. What the core hands it is kept for the test to inspect.
struct fake_adapter {
    std::string name;
    adapter_context* context = nullptr;

    std::mutex mutex;
    std::vector<recorded_frame> sent;       // sent down to the wire
    std::vector<recorded_frame> indicated;  // indicated up to the stack
    std::uint32_t send_calls = 0;           // chains sent down
    std::uint32_t indicate_calls = 0;       // chains indicated up
    std::vector<recorded_oid> oids;
    std::vector<recorded_status> statuses;
    std::vector<std::pair<oid_request*, ntstatus>> protocol_completions;

    // How request_oid answers: at once with `oid_status` (writing `oid_answer` into the
    // buffer for queries), or pending until complete_pending_oids.
    bool pend_oids = false;
    ntstatus oid_status = 0;
    std::vector<std::uint8_t> oid_answer;
    std::vector<oid_request*> pending_oids;
    std::uint32_t cancels = 0;
};

struct fake_event {
    std::uint64_t handle = 0;
    std::atomic<std::uint32_t> signals{0};
    std::atomic<std::int32_t> references{0};
};

class fake_host final : public driver_host {
public:
    fake_host();
    ~fake_host() override;

    // --- adapters ---
    // Attaches a new adapter and restarts it (running, MTU reported `mtu`).
    adapter_context* attach(driver& d, const std::string& name,
                            std::uint32_t medium = tarnwell::NDIS_MEDIUM_802_3,
                            const std::uint8_t* mac = nullptr, std::uint32_t mtu = 1500);
    fake_adapter& adapter(adapter_context* context);
    // Pauses (if running) and detaches.
    void detach(driver& d, adapter_context* context);
    // Completes every pending OID of the adapter with `status` (and `answer` for queries).
    void complete_pending_oids(driver& d, adapter_context* context, ntstatus status,
                               std::uint32_t bytes_done = 0);

    // --- events ---
    std::uint64_t create_event();  // a fresh handle a caller may pass in
    fake_event& event(std::uint64_t handle);

    // --- caller memory ---
    void register_memory(const void* start, std::size_t length);
    void unregister_memory(const void* start);
    std::uint32_t mapped_sections() const { return mapped_.load(); }

    // --- control requests that pended ---
    struct completion {
        ntstatus status;
        std::uint32_t bytes;
    };
    bool completion_of(std::uint64_t token, completion* out);

    std::uint32_t now = 1000;  // seconds since 1980
    // Called at the start of every read_user (tests use it to hold a request in flight).
    std::function<void()> read_hook;
    std::int64_t live_allocations() const { return allocations_.load(); }
    bool fail_allocations = false;

    // driver_host
    void send_to_adapter(void* host_adapter, const frame_view* frames, std::uint32_t count) override;
    void indicate_to_stack(void* host_adapter, const frame_view* frames, std::uint32_t count) override;
    ntstatus request_oid(void* host_adapter, oid_request* request) override;
    void cancel_oid(void* host_adapter, oid_request* request) override;
    void complete_protocol_oid(void* host_adapter, oid_request* request, ntstatus status) override;
    void indicate_status(void* host_adapter, std::uint32_t code, const std::uint8_t* buffer,
                         std::uint32_t length) override;
    void complete_control_request(std::uint64_t token, ntstatus status,
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
    void* allocate(std::size_t bytes) override;
    void free(void* memory) override;
    std::uint32_t seconds_since_1980() override { return now; }
    void sleep_ms(std::uint32_t milliseconds) override;

private:
    bool accessible(std::uint64_t address, std::uint32_t length);

    std::mutex mutex_;
    std::vector<std::unique_ptr<fake_adapter>> adapters_;
    std::map<std::uint64_t, std::unique_ptr<fake_event>> events_;
    std::uint64_t next_event_ = 0x100;
    std::map<std::uintptr_t, std::size_t> memory_;  // start -> length
    std::map<std::uint64_t, completion> completions_;
    std::atomic<std::int64_t> allocations_{0};
    std::atomic<std::uint32_t> mapped_{0};
};

}  // namespace corvflt::fake
