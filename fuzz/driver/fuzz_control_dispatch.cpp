// Control requests with random codes, lengths and contents against a driver with three
// attached adapters and queued packets. Address and handle fields can be steered onto
// registered, half-registered and unregistered caller memory and onto real, paused and
// unknown adapter handles, so the probes and lookups are exercised, not only the length
// checks.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/driver.h"
#include "driver/fake/fake_host.h"

using namespace corvflt;
using namespace tarnwell;

namespace {

class reader {
public:
    reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    std::size_t take(std::uint8_t* out, std::size_t n)
    {
        const std::size_t k = n < size_ - pos_ ? n : size_ - pos_;
        if (k)
            std::memcpy(out, data_ + pos_, k);
        pos_ += k;
        return k;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

const std::uint32_t CODES[] = {
    IOCTL_CORVFLT_GET_VERSION, IOCTL_CORVFLT_GET_ADAPTER_LIST, IOCTL_CORVFLT_SEND_TO_ADAPTER,
    IOCTL_CORVFLT_SEND_TO_STACK, IOCTL_CORVFLT_READ_PACKET, IOCTL_CORVFLT_SET_ADAPTER_MODE,
    IOCTL_CORVFLT_FLUSH_QUEUE, IOCTL_CORVFLT_SET_PACKET_EVENT, IOCTL_CORVFLT_SET_OID,
    IOCTL_CORVFLT_QUERY_OID, IOCTL_CORVFLT_SET_WAN_EVENT, IOCTL_CORVFLT_SET_LIST_CHANGE_EVENT,
    IOCTL_CORVFLT_GET_QUEUE_SIZE, IOCTL_CORVFLT_GET_ADAPTER_MODE, IOCTL_CORVFLT_SET_FILTER_TABLE,
    IOCTL_CORVFLT_RESET_FILTER_TABLE, IOCTL_CORVFLT_GET_FILTER_TABLE_SIZE,
    IOCTL_CORVFLT_GET_FILTER_TABLE, IOCTL_CORVFLT_GET_FILTER_TABLE_RESET_STATS,
    IOCTL_CORVFLT_GET_WAN_LINKS, IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER,
    IOCTL_CORVFLT_SEND_BATCH_TO_STACK, IOCTL_CORVFLT_READ_BATCH,
    IOCTL_CORVFLT_SET_FILTER_CHANGE_EVENT, IOCTL_CORVFLT_MAP_SHARED_SECTION,
    IOCTL_CORVFLT_READ_MIXED, IOCTL_CORVFLT_SEND_MIXED_TO_ADAPTERS,
    IOCTL_CORVFLT_SEND_MIXED_TO_STACK, IOCTL_CORVFLT_ADD_SHARED_SECTION,
};
constexpr std::uint32_t CODE_COUNT = sizeof(CODES) / sizeof(CODES[0]);

struct world {
    fake::fake_host host;
    driver d{host};
    adapter_context* adapters[3] = {};
    INTERMEDIATE_BUFFER* buffers = nullptr;  // 4 registered client buffers
    std::uint64_t pointer_array[4] = {};
    std::uint64_t* section = nullptr;
    std::uint32_t section_bytes = 8 + 2 * sizeof(INTERMEDIATE_BUFFER);
    std::uint64_t event = 0;

    world()
    {
        d.load({0, 0});
        d.open_handle(1);
        adapters[0] = host.attach(d, "\\DEVICE\\{E}", NDIS_MEDIUM_802_3);
        adapters[1] = host.attach(d, "\\DEVICE\\{I}", NDIS_MEDIUM_IP);
        adapters[2] = host.attach(d, "\\DEVICE\\{W}", NDIS_MEDIUM_WAN);
        buffers = new INTERMEDIATE_BUFFER[4]();
        host.register_memory(buffers, 4 * sizeof(INTERMEDIATE_BUFFER));
        for (int i = 0; i < 4; ++i)
            pointer_array[i] = reinterpret_cast<std::uintptr_t>(&buffers[i]);
        host.register_memory(pointer_array, sizeof(pointer_array));
        section = new std::uint64_t[section_bytes / 8 + 1]();
        host.register_memory(section, section_bytes);
        event = host.create_event();
    }

    // Between inputs: the last close resets modes, queues, events, the table and sections;
    // then every adapter gets tunnel mode and three queued packets again.
    void reset()
    {
        d.close_handle(1);
        d.open_handle(1);
        std::memset(static_cast<void*>(buffers), 0, 4 * sizeof(INTERMEDIATE_BUFFER));
        std::memset(section, 0, section_bytes);
        std::uint8_t frame[60] = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00, 0x45};
        for (adapter_context* a : adapters) {
            a->mode.store(MODE_TUNNEL_SEND | MODE_TUNNEL_RECV);
            frame_view v{frame, sizeof(frame), 0, 0x0800, false};
            frame_fate fate;
            for (int i = 0; i < 3; ++i)
                d.on_wire_receive(a, &v, 1, &fate);
        }
    }

    std::uint64_t address(std::uint8_t selector)
    {
        const std::uint64_t base = reinterpret_cast<std::uintptr_t>(buffers);
        switch (selector % 8) {
        case 0: case 1: case 2: case 3:
            return base + (selector % 4) * sizeof(INTERMEDIATE_BUFFER);
        case 4: return base + 4 * sizeof(INTERMEDIATE_BUFFER) - 40;  // half-valid
        case 5: return reinterpret_cast<std::uintptr_t>(pointer_array);
        case 6: return reinterpret_cast<std::uintptr_t>(section);
        default: return 0x1000 + selector;  // never registered
        }
    }
    std::uint64_t handle(std::uint8_t selector)
    {
        switch (selector % 5) {
        case 0: case 1: case 2: return adapters[selector % 3]->handle();
        case 3: return event;
        default: return adapters[0]->handle() + 8;
        }
    }

    // 0xAD <selector> and 0xAE <selector> at an 8-byte boundary become an address or a handle.
    void steer(std::uint8_t* buffer, std::uint32_t length)
    {
        for (std::uint32_t at = 0; at + 8 <= length; at += 4) {
            std::uint64_t value = 0;
            if (buffer[at] == 0xAD)
                value = address(buffer[at + 1]);
            else if (buffer[at] == 0xAE)
                value = handle(buffer[at + 1]);
            else
                continue;
            std::memcpy(buffer + at, &value, 8);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    reader in(data, size);
    // One world for the whole run: building the pools per input would dominate the time.
    static world w;
    w.reset();
    // Client buffers start with fuzzer-chosen headers and frames.
    in.take(reinterpret_cast<std::uint8_t*>(w.buffers), in.byte() * 16u);
    for (int i = 0; i < 4; ++i)
        w.steer(reinterpret_cast<std::uint8_t*>(&w.buffers[i]), 16);
    std::vector<std::uint8_t> system_buffer;
    int steps = 0;
    while (!in.empty() && steps++ < 32) {
        const std::uint8_t op = in.byte();
        if (op < 200) {
            const std::uint8_t selector = in.byte();
            const std::uint32_t code = selector < 240 ? CODES[selector % CODE_COUNT]
                                                      : 0x83000000u | in.u16();
            std::uint32_t in_length = in.u16() % 4200;
            std::uint32_t out_length = in.u16();
            if (out_length & 0x8000)
                out_length = sizeof(WAN_LINKS) + (out_length & 0xFF);
            else
                out_length %= 9000;
            // Exactly max(in, out) bytes, so any read or write beyond it is caught.
            system_buffer.assign(in_length > out_length ? in_length : out_length, 0);
            in.take(system_buffer.data(), in_length);
            w.steer(system_buffer.data(), in_length);
            std::uint32_t bytes = 0;
            const ntstatus status = w.d.dispatch(1, code, system_buffer.empty() ? nullptr : system_buffer.data(),
                                                 in_length, out_length, &bytes, steps);
            if (bytes > out_length)
                __builtin_trap();
            if (status != STATUS_SUCCESS && status != STATUS_PENDING && bytes != 0)
                __builtin_trap();
        } else if (op < 230) {
            std::uint8_t frame[1600];
            const std::uint32_t n = static_cast<std::uint32_t>(in.take(frame, in.u16() % sizeof(frame)));
            frame_view v{frame, n, 0, 0x0800, (op & 1) != 0};
            frame_fate fate;
            adapter_context* a = w.adapters[op % 3];
            if (op & 2)
                w.d.on_wire_receive(a, &v, 1, &fate);
            else
                w.d.on_stack_send(a, &v, 1, &fate);
        } else if (op < 240) {
            adapter_context* a = w.adapters[op % 3];
            if (a->running())
                w.d.pause(a);
            else
                w.d.restart(a, nullptr, nullptr);
        } else {
            w.d.open_handle(2);
            w.d.close_handle(2);
        }
    }
    // Every adapter must be running again before teardown detaches it.
    for (adapter_context* a : w.adapters) {
        if (!a->running())
            w.d.restart(a, nullptr, nullptr);
    }
    return 0;
}
