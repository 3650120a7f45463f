#pragma once
// A driver core over fake adapters in this process, reached through in-process control
// devices, and a device wrapper that counts requests and can play a driver that went away.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/driver.h"
#include "driver/driver_constants.h"
#include "driver/in_process/in_process_device.h"
#include "platform/control_device.h"
#include "tarnwell/control_interface.h"

namespace tarnwell_test {

struct fake_driver {
    fake_driver() { EXPECT_EQ(core.load({}), corvflt::STATUS_SUCCESS); }
    ~fake_driver()
    {
        for (corvflt::adapter_context* a : attached)
            adapters.detach(core, a);
        core.unload();
    }

    corvflt::adapter_context* attach(const std::string& name,
                                     std::uint32_t medium = tarnwell::NDIS_MEDIUM_802_3)
    {
        static const std::uint8_t mac[6] = {2, 0, 0, 0, 0, 7};
        attached.push_back(adapters.attach(core, name, medium, mac));
        return attached.back();
    }
    void detach(corvflt::adapter_context* a)
    {
        std::erase(attached, a);
        adapters.detach(core, a);
    }

    std::unique_ptr<platform::control_device> device()
    {
        return std::make_unique<corvflt::in_process::in_process_device>(core, host);
    }

    // One chain of frames from the wire (incoming) or from the stack (outgoing).
    // Returns how many frames the driver took (queued or dropped) rather than passed.
    std::size_t feed(corvflt::adapter_context* a, std::uint32_t direction,
                     const std::vector<std::vector<std::uint8_t>>& frames)
    {
        std::vector<corvflt::frame_view> views(frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i)
            views[i] = {frames[i].data(), static_cast<std::uint32_t>(frames[i].size())};
        std::vector<corvflt::frame_fate> fates(frames.size());
        if (direction == tarnwell::DIRECTION_INCOMING)
            core.on_wire_receive(a, views.data(), static_cast<std::uint32_t>(views.size()),
                                 fates.data());
        else
            core.on_stack_send(a, views.data(), static_cast<std::uint32_t>(views.size()),
                               fates.data());
        return static_cast<std::size_t>(
            std::count(fates.begin(), fates.end(), corvflt::frame_fate::consumed));
    }

    std::size_t sent_count(corvflt::adapter_context* a)
    {
        corvflt::fake::fake_adapter& fa = adapters.adapter(a);
        std::lock_guard lock(fa.mutex);
        return fa.sent.size();
    }
    std::size_t indicated_count(corvflt::adapter_context* a)
    {
        corvflt::fake::fake_adapter& fa = adapters.adapter(a);
        std::lock_guard lock(fa.mutex);
        return fa.indicated.size();
    }
    // Tag bytes (see tagged_frame) of what reached the wire or the stack, in order.
    std::vector<std::uint16_t> sent_tags(corvflt::adapter_context* a)
    {
        return tags_of(a, true);
    }
    std::vector<std::uint16_t> indicated_tags(corvflt::adapter_context* a)
    {
        return tags_of(a, false);
    }
    void forget_traffic(corvflt::adapter_context* a)
    {
        corvflt::fake::fake_adapter& fa = adapters.adapter(a);
        std::lock_guard lock(fa.mutex);
        fa.sent.clear();
        fa.indicated.clear();
    }

    corvflt::fake::fake_host adapters;
    corvflt::in_process::in_process_host host{adapters};
    corvflt::driver core{host};
    std::vector<corvflt::adapter_context*> attached;

private:
    std::vector<std::uint16_t> tags_of(corvflt::adapter_context* a, bool sent)
    {
        corvflt::fake::fake_adapter& fa = adapters.adapter(a);
        std::lock_guard lock(fa.mutex);
        std::vector<std::uint16_t> tags;
        for (const corvflt::fake::recorded_frame& f : sent ? fa.sent : fa.indicated)
            tags.push_back(f.data.size() > 15 ? static_cast<std::uint16_t>(f.data[14] << 8 | f.data[15])
                                              : 0xFFFF);
        return tags;
    }
};

// A 60-byte IPv4-typed Ethernet frame whose bytes 14 and 15 carry `tag`.
inline std::vector<std::uint8_t> tagged_frame(std::uint16_t tag)
{
    std::vector<std::uint8_t> frame(60, 0x11);
    frame[12] = 0x08;
    frame[13] = 0x00;
    frame[14] = static_cast<std::uint8_t>(tag >> 8);
    frame[15] = static_cast<std::uint8_t>(tag);
    return frame;
}

inline std::uint16_t tag_of(const tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    return static_cast<std::uint16_t>(buffer.frame[14] << 8 | buffer.frame[15]);
}

inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Feeds one frame tagged `tag` into `from` once and waits until `to` indicated it up its
// stack. One probe, no retry: a filter that lost it fails.
inline bool probe_reaches_stack(fake_driver& d, corvflt::adapter_context* from,
                                corvflt::adapter_context* to, std::uint32_t direction,
                                std::uint16_t tag)
{
    d.feed(from, direction, {tagged_frame(tag)});
    return wait_until([&] {
        const std::vector<std::uint16_t> tags = d.indicated_tags(to);
        return std::find(tags.begin(), tags.end(), tag) != tags.end();
    }, std::chrono::seconds(5));
}

// Forwards to a real device, counting requests per control code; once `lose()` was
// called every request fails with ERROR_DEVICE_NOT_CONNECTED, as the Linux host's socket
// does after the daemon died.
class probe_device final : public platform::control_device {
public:
    explicit probe_device(std::unique_ptr<platform::control_device> inner)
        : inner_(std::move(inner))
    {
    }

    std::uint32_t control(std::uint32_t code, const void* input, std::uint32_t input_length,
                          void* output, std::uint32_t output_length,
                          std::uint32_t* bytes_returned) override
    {
        {
            std::lock_guard lock(mutex_);
            ++counts_[code];
        }
        if (lost_.load()) {
            ++calls_after_loss_;
            if (bytes_returned)
                *bytes_returned = 0;
            return platform::error_device_not_connected;
        }
        return inner_->control(code, input, input_length, output, output_length,
                               bytes_returned);
    }

    void lose() { lost_.store(true); }
    std::uint32_t calls_after_loss() const { return calls_after_loss_.load(); }
    std::uint32_t count(std::uint32_t code)
    {
        std::lock_guard lock(mutex_);
        return counts_[code];
    }

private:
    std::unique_ptr<platform::control_device> inner_;
    std::atomic<bool> lost_{false};
    std::atomic<std::uint32_t> calls_after_loss_{0};
    std::mutex mutex_;
    std::map<std::uint32_t, std::uint32_t> counts_;
};

}  // namespace tarnwell_test
