// The in-process device end to end: requests go through platform::control_device into a
// driver core over fake adapters, events are real platform events, buffers plain memory.

#include "driver/in_process/in_process_device.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/driver_constants.h"
#include "platform/event.h"
#include "tarnwell/control_interface.h"

namespace {

using namespace tarnwell;
using corvflt::in_process::in_process_device;
using corvflt::in_process::in_process_host;

struct loaded_driver {
    loaded_driver() { EXPECT_EQ(core.load({}), corvflt::STATUS_SUCCESS); }
    ~loaded_driver()
    {
        for (corvflt::adapter_context* a : attached)
            adapters.detach(core, a);
        core.unload();
    }
    corvflt::adapter_context* attach(const char* name, std::uint32_t medium)
    {
        static const std::uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
        attached.push_back(adapters.attach(core, name, medium, mac));
        return attached.back();
    }

    corvflt::fake::fake_host adapters;
    in_process_host host{adapters};
    corvflt::driver core{host};
    std::vector<corvflt::adapter_context*> attached;
};

template <class T>
std::uint32_t request(platform::control_device& device, std::uint32_t code, const T& in,
                      std::uint32_t* returned = nullptr)
{
    return device.control(code, &in, sizeof in, nullptr, 0, returned);
}

std::vector<std::uint8_t> ethernet_frame(std::size_t length)
{
    std::vector<std::uint8_t> frame(length);
    for (std::size_t i = 0; i < length; ++i)
        frame[i] = static_cast<std::uint8_t>(i * 13 + 1);
    frame[12] = 0x08;
    frame[13] = 0x00;
    return frame;
}

TEST(driver_in_process_device, version_and_adapter_list_arrive_through_the_device)
{
    loaded_driver d;
    corvflt::adapter_context* provider = d.attach("\\DEVICE\\{PROVIDER}", NDIS_MEDIUM_802_3);
    corvflt::adapter_context* wintun = d.attach("\\DEVICE\\{WINTUN}", NDIS_MEDIUM_IP);
    in_process_device device(d.core, d.host);

    std::uint32_t version = 0;
    std::uint32_t returned = 0;
    ASSERT_EQ(device.control(IOCTL_CORVFLT_GET_VERSION, nullptr, 0, &version, 4, &returned),
              platform::error_success);
    EXPECT_EQ(version, CORVFLT_DRIVER_VERSION);
    EXPECT_EQ(returned, 4u);
    // Malformed requests fail as DeviceIoControl would, with nothing written.
    std::uint8_t short_out[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(device.control(IOCTL_CORVFLT_GET_VERSION, nullptr, 0, short_out, 3, &returned),
              platform::error_invalid_parameter);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(short_out[0], 0xEE);
    EXPECT_EQ(device.control(0x83002FFCu, nullptr, 0, nullptr, 0, &returned),
              platform::error_invalid_parameter);

    auto list = std::make_unique<ADAPTER_LIST>();
    std::memset(list.get(), 0xAB, sizeof *list);  // the driver zeroes what it does not fill
    ASSERT_EQ(device.control(IOCTL_CORVFLT_GET_ADAPTER_LIST, list.get(), sizeof *list, list.get(),
                             sizeof *list, &returned),
              platform::error_success);
    EXPECT_EQ(returned, sizeof(ADAPTER_LIST));
    ASSERT_EQ(std::uint32_t{list->count}, 2u);
    // Newest first. Packed fields are copied out: a reference to them may be misaligned.
    EXPECT_STREQ(list->names[0], "\\DEVICE\\{WINTUN}");
    EXPECT_EQ(std::uint64_t{list->handles[0]}, wintun->handle());
    EXPECT_EQ(std::uint32_t{list->media[0]}, NDIS_MEDIUM_IP);
    EXPECT_STREQ(list->names[1], "\\DEVICE\\{PROVIDER}");
    EXPECT_EQ(std::uint64_t{list->handles[1]}, provider->handle());
    EXPECT_EQ(list->mac_addresses[1][5], 1);
    EXPECT_EQ(std::uint64_t{list->handles[2]}, 0u);
}

TEST(driver_in_process_device, received_frame_signals_the_platform_event_and_reads_back)
{
    loaded_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{PROVIDER}", NDIS_MEDIUM_802_3);
    {
        in_process_device device(d.core, d.host);
        auto packet_event = std::make_unique<platform::event>(platform::event_kind::manual_reset);
        ASSERT_TRUE(packet_event->valid());

        ASSERT_EQ(request(device, IOCTL_CORVFLT_SET_PACKET_EVENT,
                          ADAPTER_EVENT{a->handle(), packet_event->native_handle()}),
                  platform::error_success);
        EXPECT_EQ(d.host.referenced_events(), 1);
        // Replacing the event releases the driver's reference to the old one, which the
        // caller may then close.
        auto waiter = std::make_unique<platform::event>(platform::event_kind::auto_reset);
        ASSERT_EQ(request(device, IOCTL_CORVFLT_SET_PACKET_EVENT,
                          ADAPTER_EVENT{a->handle(), waiter->native_handle()}),
                  platform::error_success);
        EXPECT_EQ(d.host.referenced_events(), 1);  // the replaced one was released
        packet_event.reset();

        ASSERT_EQ(request(device, IOCTL_CORVFLT_SET_ADAPTER_MODE,
                          ADAPTER_MODE{a->handle(), MODE_TUNNEL_RECV}),
                  platform::error_success);
        EXPECT_EQ(waiter->wait(0), platform::wait_result::timeout);

        const std::vector<std::uint8_t> frame = ethernet_frame(98);
        corvflt::frame_view view{frame.data(), static_cast<std::uint32_t>(frame.size())};
        corvflt::frame_fate fate;
        d.core.on_wire_receive(a, &view, 1, &fate);
        EXPECT_EQ(fate, corvflt::frame_fate::consumed);
        ASSERT_EQ(waiter->wait(2000), platform::wait_result::signalled);

        // Plain heap memory, as the packet filters will use: no registration anywhere.
        auto packets = std::make_unique<INTERMEDIATE_BUFFER[]>(2);
        std::uint8_t batch[16 + 2 * 8] = {};
        const std::uint64_t handle = a->handle();
        const std::uint32_t count = 2;
        const std::uint64_t addresses[2] = {reinterpret_cast<std::uintptr_t>(&packets[0]),
                                            reinterpret_cast<std::uintptr_t>(&packets[1])};
        std::memcpy(batch, &handle, 8);
        std::memcpy(batch + 8, &count, 4);
        std::memcpy(batch + 16, addresses, sizeof addresses);
        std::uint32_t returned = 0;
        ASSERT_EQ(device.control(IOCTL_CORVFLT_READ_BATCH, batch, sizeof batch, batch,
                                 sizeof batch, &returned),
                  platform::error_success);
        EXPECT_EQ(returned, sizeof batch);
        std::uint32_t done = 0;
        std::memcpy(&done, batch + 12, 4);
        EXPECT_EQ(done, 1u);
        EXPECT_EQ(std::uint32_t{packets[0].direction}, DIRECTION_INCOMING);
        ASSERT_EQ(std::uint32_t{packets[0].length}, frame.size());
        EXPECT_EQ(0, std::memcmp(packets[0].frame, frame.data(), frame.size()));

        // Empty queue: the read fails and the caller goes back to waiting.
        EXPECT_EQ(device.control(IOCTL_CORVFLT_READ_BATCH, batch, sizeof batch, batch,
                                 sizeof batch, &returned),
                  platform::error_invalid_parameter);
        EXPECT_EQ(returned, 0u);
    }
    // The last close lets every event go and puts the adapter back to its startup mode.
    EXPECT_EQ(d.host.referenced_events(), 0);
    EXPECT_EQ(a->mode.load(), 0u);
}

TEST(driver_in_process_device, bad_event_handles_and_buffer_addresses_fail_cleanly)
{
    loaded_driver d;
    corvflt::adapter_context* a = d.attach("\\DEVICE\\{PROVIDER}", NDIS_MEDIUM_802_3);
    in_process_device device(d.core, d.host);

    EXPECT_EQ(request(device, IOCTL_CORVFLT_SET_PACKET_EVENT,
                      ADAPTER_EVENT{a->handle(), 0x7ffffff0u}),
              platform::error_invalid_parameter);
    EXPECT_EQ(d.host.referenced_events(), 0);

    ASSERT_EQ(request(device, IOCTL_CORVFLT_SET_ADAPTER_MODE,
                      ADAPTER_MODE{a->handle(), MODE_TUNNEL_RECV}),
              platform::error_success);
    const std::vector<std::uint8_t> frame = ethernet_frame(60);
    corvflt::frame_view view{frame.data(), static_cast<std::uint32_t>(frame.size())};
    corvflt::frame_fate fate;
    d.core.on_wire_receive(a, &view, 1, &fate);

    for (const std::uint64_t address : {std::uint64_t{0}, std::uint64_t{0x10},
                                        ~std::uint64_t{0} - 100}) {
        PACKET_REQUEST read{a->handle(), address};
        EXPECT_EQ(request(device, IOCTL_CORVFLT_READ_PACKET, read),
                  platform::error_invalid_parameter)
            << address;
    }
    // A null buffer with a length never reaches the driver.
    std::uint32_t returned = 9;
    EXPECT_EQ(device.control(IOCTL_CORVFLT_GET_VERSION, nullptr, 0, nullptr, 4, &returned),
              platform::error_invalid_parameter);
    EXPECT_EQ(returned, 0u);
}

TEST(driver_in_process_device, oid_request_waits_for_the_adapter_to_complete_it)
{
    struct row {
        corvflt::ntstatus adapter_status;
        std::uint32_t error;
    };
    const row rows[] = {
        {corvflt::STATUS_SUCCESS, platform::error_success},
        {NDIS_STATUS_NOT_SUPPORTED, platform::error_not_supported},
    };
    for (const row& r : rows) {
        loaded_driver d;
        corvflt::adapter_context* a = d.attach("\\DEVICE\\{PROVIDER}", NDIS_MEDIUM_802_3);
        corvflt::fake::fake_adapter& adapter = d.adapters.adapter(a);
        adapter.pend_oids = true;
        in_process_device device(d.core, d.host);

        std::uint8_t record[OID_REQUEST_RECORD_HEADER_SIZE + 4] = {};
        const std::uint64_t handle = a->handle();
        const std::uint32_t oid = 0x0001010E;  // OID_GEN_CURRENT_PACKET_FILTER
        const std::uint32_t length = 4;
        std::memcpy(record, &handle, 8);
        std::memcpy(record + 8, &oid, 4);
        std::memcpy(record + 12, &length, 4);
        std::uint32_t error = 0xFFFFFFFF;
        std::uint32_t returned = 0;
        std::thread caller([&] {
            error = device.control(IOCTL_CORVFLT_SET_OID, record, sizeof record, record,
                                   sizeof record, &returned);
        });

        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::size_t pending = 0;
        while (pending == 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::lock_guard<std::mutex> lock(adapter.mutex);
            pending = adapter.pending_oids.size();
        }
        ASSERT_EQ(pending, 1u);
        EXPECT_EQ(error, 0xFFFFFFFFu);  // still inside control()
        d.adapters.complete_pending_oids(d.core, a, r.adapter_status, 4);
        caller.join();
        EXPECT_EQ(error, r.error) << std::hex << r.adapter_status;
        EXPECT_EQ(returned, r.error == platform::error_success ? sizeof record : 0u);
    }
}

}  // namespace
