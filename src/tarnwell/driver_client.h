#pragma once
// CTarnwell: the user-mode handle on the corvflt driver. Owns the one open control device
// through which every request of this object travels, and offers one operation per
// control code the service uses. The packet filters derive from it, so each filter owns
// its own handle; the NAT watchdog and the DNS forwarder call operations on such a filter.
//
// Every request operation returns false, without reaching the driver, when the device is
// not open; otherwise whether the driver completed the request successfully. No error
// code is kept, with one exception: a request that finds the driver gone (the device
// answers ERROR_DEVICE_NOT_CONNECTED, as the Linux host's socket does once the daemon
// died) marks the object lost, so that filter threads end instead of waiting for packets
// that can never come, and tells the derived class once (on_driver_lost). An object that
// opened its device by path can open it again (reopen) when a driver serves it once more:
// a new driver instance, in which no adapter handle or event of the old one is valid.
//
// Threads: any number of threads may issue requests at once (the filters do); the driver
// completes every request before control() returns, except the posted batches, which
// complete in order before the next request.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/control_device.h"
#include "tarnwell/control_interface.h"

namespace tarnwell {

class CTarnwell {
public:
    // Opens "\\.\CORVFLT" through the platform's control device.
    CTarnwell();
    // Opens another device path (tests use a name no driver serves).
    explicit CTarnwell(const std::string& device_path);
    // Takes an already opened device; null means no driver.
    explicit CTarnwell(std::unique_ptr<platform::control_device> device);
    virtual ~CTarnwell();
    CTarnwell(const CTarnwell&) = delete;
    CTarnwell& operator=(const CTarnwell&) = delete;

    bool IsDriverOpen() const { return driver_open_.load(std::memory_order_relaxed); }
    // A request found the driver gone; every later request fails too, until reopen().
    bool IsDriverLost() const { return driver_lost_.load(std::memory_order_relaxed); }

    bool QueryAdapterList(ADAPTER_LIST& list) const;
    bool ApplyAdapterMode(const ADAPTER_MODE& mode) const;
    // True when the request fails, the device is not open, or the adapter's flags are 0.
    bool IsAdapterModeZero(std::uint64_t adapter_handle) const;
    bool DropQueuedPackets(std::uint64_t adapter_handle) const;
    // `event` is a platform::event native handle; the driver keeps its own reference.
    bool AttachPacketEvent(std::uint64_t adapter_handle, std::uint64_t event) const;
    bool AttachListChangeEvent(std::uint64_t event) const;
    // `links` must hold a whole WAN_LINKS record.
    bool QueryWanLinks(std::uint64_t adapter_handle, WAN_LINKS* links) const;
    // The request must really hold `count` addresses after its header (the filters' page
    // requests hold MAXIMUM_PACKET_BLOCK).
    bool ReadPacketBatch(PACKET_BATCH_REQUEST& request) const;
    bool SendBatchToAdapter(const PACKET_BATCH_REQUEST& request) const;
    bool SendBatchToStack(const PACKET_BATCH_REQUEST& request) const;
    bool SendPacketToAdapter(const PACKET_REQUEST& request) const;
    // As SendBatchTo*, without waiting for the driver to finish: the batch completes before
    // any later request on this handle does, so the buffers it names must stay untouched
    // until then (a later read into them is fine: it runs after). True when it was issued;
    // the driver's own verdict on it is not reported.
    bool PostBatchToAdapter(const PACKET_BATCH_REQUEST& request) const;
    bool PostBatchToStack(const PACKET_BATCH_REQUEST& request) const;
    // Returns once every posted batch has completed.
    void CompletePostedRequests() const;

    // Registry-backed lookups: whether adapter `name` is the network component
    // `component_id`, and the name a user knows adapter `name` by (the WAN miniports have
    // fixed names). ResolveFriendlyName writes at most `out_size` bytes, zero-terminated,
    // and is false (with `out` untouched) only when the adapter has no connection.
    static bool IsComponentAdapter(const char* name, const char* component_id);
    static bool ResolveFriendlyName(const char* name, char* out, std::size_t out_size);

protected:
    // Called once per loss, from the thread whose request found the driver gone.
    virtual void on_driver_lost() {}
    // Opens the device path again after a loss; true when a driver answered. Requests in
    // flight on the old device finish there. False when the object was given its device
    // rather than a path.
    bool reopen();

private:
    bool request(std::uint32_t code, const void* input, std::uint32_t input_length,
                 void* output, std::uint32_t output_length) const;
    bool post(std::uint32_t code, const void* input, std::uint32_t input_length) const;
    // Marks the object lost when `error` says the driver is gone; true for success.
    bool check(std::uint32_t error) const;
    std::shared_ptr<platform::control_device> device() const;

    std::string device_path_;  // empty: the device was handed in
    mutable std::mutex device_mutex_;
    std::shared_ptr<platform::control_device> device_;  // guarded by device_mutex_
    std::atomic<bool> driver_open_{false};
    bool wow64_ = false;
    mutable std::atomic<bool> driver_lost_{false};
};

}  // namespace tarnwell
