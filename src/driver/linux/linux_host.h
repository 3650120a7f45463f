#pragma once
// The driver core's host on Linux: owns the core, the adapters (TUN/TAP pairs), the two
// data-path loops, and answers the core's calls (send down = write to the wire device,
// indicate up = write to the stack device, caller memory and events through the caller's
// pid, OIDs answered from the device).
//
// Threads: attach_adapter/detach_adapter/link_changed/shutdown run on one lifecycle thread
// at a time (main at startup and shutdown, the link watch in between), which is what
// serialises the core's attach/restart/pause/detach. The driver_host functions are called
// from the I/O loops and control threads concurrently.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/driver_host.h"
#include "driver/linux/command_line.h"
#include "driver/linux/host_adapter.h"
#include "driver/linux/io_loop.h"

namespace corvflt::linux_host {

class linux_host final : public driver_host {
public:
    linux_host();
    ~linux_host() override;

    driver& core() { return core_; }

    // Loads the core and starts the data-path loops.
    bool start(const driver_parameters& parameters);
    // Opens both devices (creating the missing ones), attaches and restarts the adapter.
    bool attach_adapter(const adapter_spec& spec, std::string* error);
    // What the link watch saw for a stack-side interface: present (with IFF_UP and its
    // index) or gone. Attaches, pauses, restarts or detaches as needed.
    void link_changed(const std::string& name, bool present, bool up, std::uint32_t ifindex);
    // Detaches every adapter (devices we created vanish with their fds), stops the loops,
    // unloads the core.
    void shutdown();

    // Configured adapter specs, so that a device that reappears can be attached again.
    void remember(const adapter_spec& spec) { configured_.push_back(spec); }
    const std::vector<adapter_spec>& configured() const { return configured_; }

    // driver_host
    void send_to_adapter(void* host_adapter, const frame_view* frames, std::uint32_t count) override;
    void indicate_to_stack(void* host_adapter, const frame_view* frames, std::uint32_t count) override;
    ntstatus request_oid(void* host_adapter, oid_request* request) override;
    void cancel_oid(void* host_adapter, oid_request* request) override;
    void complete_protocol_oid(void* host_adapter, oid_request* request, ntstatus status) override;
    void indicate_status(void* host_adapter, std::uint32_t code, const std::uint8_t* buffer,
                         std::uint32_t length) override;
    void complete_control_request(std::uint64_t request_token, ntstatus status,
                                  std::uint32_t bytes_returned) override;
    host_event* reference_event(std::uint64_t open_handle, std::uint64_t user_handle) override;
    void signal_event(host_event* event) override;
    void release_event(host_event* event) override;
    bool read_user(std::uint64_t open_handle, std::uint64_t address, void* destination,
                   std::uint32_t length) override;
    bool write_user(std::uint64_t open_handle, std::uint64_t address, const void* source,
                    std::uint32_t length) override;
    std::uint32_t write_user_blocks(std::uint64_t open_handle, const user_block* blocks,
                                    std::uint32_t count) override;
    std::uint32_t read_user_blocks(std::uint64_t open_handle, const user_block* blocks,
                                   std::uint32_t count) override;
    std::uint8_t* map_user_section(std::uint64_t open_handle, std::uint64_t address,
                                   std::uint32_t size) override;
    void unmap_user_section(std::uint8_t* mapping, std::uint32_t size) override;
    void* allocate(std::size_t bytes) override;
    void free(void* memory) override;
    std::uint32_t seconds_since_1980() override;
    void sleep_ms(std::uint32_t milliseconds) override;

private:
    host_adapter* find(const std::string& stack_name);
    void detach_adapter(host_adapter* adapter, const char* reason);
    void close_devices(host_adapter* adapter);

    driver core_;
    io_loop stack_loop_;
    io_loop wire_loop_;
    bool loaded_ = false;
    std::vector<adapter_spec> configured_;
    std::vector<std::unique_ptr<host_adapter>> adapters_;  // lifecycle thread only
};

// A control request that the core answered STATUS_PENDING for waits on this record; its
// address is the request token. complete_control_request fills it in.
struct pending_request {
    std::mutex mutex;
    std::condition_variable done_signal;
    bool done = false;
    ntstatus status = 0;
    std::uint32_t bytes = 0;
};

}  // namespace corvflt::linux_host
