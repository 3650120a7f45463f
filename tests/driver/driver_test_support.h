#pragma once
// A loaded driver over the fake host with one open handle, plus frame builders and a
// control-request helper whose system buffer is exactly as long as the request says (so
// that the sanitizer build catches any read past it).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/driver.h"
#include "driver/fake/fake_host.h"

namespace corvflt::testing {

using namespace tarnwell;

struct reply {
    ntstatus status = 0;
    std::uint32_t bytes = 0;
    std::vector<std::uint8_t> buffer;
};

inline std::vector<std::uint8_t> to_bytes(const void* p, std::size_t n)
{
    const auto* b = static_cast<const std::uint8_t*>(p);
    return {b, b + n};
}

class driver_env {
public:
    static constexpr std::uint64_t OPEN = 0x51;

    explicit driver_env(driver_parameters parameters = {}) : d(host)
    {
        EXPECT_EQ(d.load(parameters), STATUS_SUCCESS);
        d.open_handle(OPEN);
        open_handles = 1;
    }
    ~driver_env()
    {
        while (open_handles-- > 0)
            d.close_handle(OPEN);
        for (adapter_context* a : attached)
            host.detach(d, a);
        d.unload();
    }

    adapter_context* attach(const char* name, std::uint32_t medium = NDIS_MEDIUM_802_3,
                            const std::uint8_t* mac = nullptr, std::uint32_t mtu = 1500)
    {
        adapter_context* a = host.attach(d, name, medium, mac, mtu);
        attached.push_back(a);
        return a;
    }
    void detach(adapter_context* a)
    {
        host.detach(d, a);
        std::erase(attached, a);
    }

    reply ioctl(std::uint32_t code, const std::vector<std::uint8_t>& in, std::uint32_t out_length,
                std::uint64_t open = OPEN, std::uint64_t token = 0)
    {
        const std::uint32_t in_length = static_cast<std::uint32_t>(in.size());
        reply r;
        r.buffer.assign(std::max(in_length, out_length), 0);
        if (!in.empty())
            std::memcpy(r.buffer.data(), in.data(), in.size());
        r.status = d.dispatch(open, code, r.buffer.empty() ? nullptr : r.buffer.data(), in_length,
                              out_length, &r.bytes, token);
        return r;
    }
    template <class T>
    reply ioctl_record(std::uint32_t code, const T& record, std::uint32_t out_length = 0)
    {
        return ioctl(code, to_bytes(&record, sizeof(T)), out_length);
    }

    std::uint32_t set_mode(adapter_context* a, std::uint32_t mode)
    {
        ADAPTER_MODE m{a->handle(), mode};
        return ioctl_record(IOCTL_CORVFLT_SET_ADAPTER_MODE, m).status;
    }

    frame_fate receive(adapter_context* a, const std::vector<std::uint8_t>& frame,
                       bool loopback = false, std::uint16_t frame_type = 0)
    {
        frame_view v{frame.data(), static_cast<std::uint32_t>(frame.size()), 0, frame_type, loopback};
        frame_fate fate;
        d.on_wire_receive(a, &v, 1, &fate);
        return fate;
    }
    frame_fate send(adapter_context* a, const std::vector<std::uint8_t>& frame,
                    std::uint16_t frame_type = 0)
    {
        frame_view v{frame.data(), static_cast<std::uint32_t>(frame.size()), 0, frame_type, false};
        frame_fate fate;
        d.on_stack_send(a, &v, 1, &fate);
        return fate;
    }
    std::uint32_t queue_size(adapter_context* a) { return a->queue_count.load(); }

    fake::fake_host host;
    driver d;
    std::vector<adapter_context*> attached;
    int open_handles = 0;
};

// Client packet buffers in registered memory.
struct user_buffers {
    user_buffers(fake::fake_host& h, std::size_t n) : host(h), records(n)
    {
        std::memset(records.data(), 0, n * sizeof(INTERMEDIATE_BUFFER));
        host.register_memory(records.data(), n * sizeof(INTERMEDIATE_BUFFER));
    }
    ~user_buffers() { host.unregister_memory(records.data()); }
    std::uint64_t address(std::size_t i) { return reinterpret_cast<std::uintptr_t>(&records[i]); }
    void fill(std::size_t i, const std::vector<std::uint8_t>& frame, std::uint64_t handle = 0)
    {
        records[i].length = static_cast<std::uint32_t>(frame.size());
        std::memcpy(records[i].frame, frame.data(), std::min<std::size_t>(frame.size(), MAX_ETHER_FRAME));
        records[i].adapter_handle = handle;
    }
    std::vector<std::uint8_t> frame(std::size_t i)
    {
        return {records[i].frame, records[i].frame + records[i].length};
    }
    fake::fake_host& host;
    std::vector<INTERMEDIATE_BUFFER> records;
};

inline std::vector<std::uint8_t> batch_request(std::uint64_t handle, std::uint32_t count,
                                               const std::vector<std::uint64_t>& addresses)
{
    std::vector<std::uint8_t> b(16 + 8 * addresses.size());
    std::memcpy(b.data(), &handle, 8);
    std::memcpy(b.data() + 8, &count, 4);
    for (std::size_t i = 0; i < addresses.size(); ++i)
        std::memcpy(b.data() + 16 + 8 * i, &addresses[i], 8);
    return b;
}

// Frames. Addresses are given as octets; ports in host order.
struct ipv4_spec {
    std::uint8_t src[4] = {10, 0, 0, 2};
    std::uint8_t dst[4] = {10, 0, 0, 1};
    std::uint8_t protocol = 17;
    std::uint16_t src_port = 1000;
    std::uint16_t dst_port = 53;
    std::uint8_t tcp_flags = 0x02;
    std::uint8_t icmp_type = 8;
    std::uint8_t icmp_code = 0;
    std::uint8_t dst_mac[6] = {0x02, 0, 0, 0, 0, 1};
    std::uint32_t payload = 8;
};

inline void put16(std::vector<std::uint8_t>& f, std::size_t at, std::uint16_t v)
{
    f[at] = static_cast<std::uint8_t>(v >> 8);
    f[at + 1] = static_cast<std::uint8_t>(v);
}

inline std::vector<std::uint8_t> transport(std::uint8_t protocol, const ipv4_spec& s)
{
    std::vector<std::uint8_t> t(protocol == 6 ? 20 : 8, 0);
    if (protocol == 6 || protocol == 17) {
        put16(t, 0, s.src_port);
        put16(t, 2, s.dst_port);
        if (protocol == 6) {
            t[12] = 0x50;
            t[13] = s.tcp_flags;
        }
    } else {
        t[0] = s.icmp_type;
        t[1] = s.icmp_code;
    }
    t.resize(t.size() + s.payload, 0xAB);
    return t;
}

inline std::vector<std::uint8_t> ipv4_frame(const ipv4_spec& s = {})
{
    std::vector<std::uint8_t> f(14, 0);
    std::memcpy(f.data(), s.dst_mac, 6);
    f[6] = 0x02;
    f[11] = 0x09;
    put16(f, 12, 0x0800);
    const std::vector<std::uint8_t> t = transport(s.protocol, s);
    std::vector<std::uint8_t> ip(20, 0);
    ip[0] = 0x45;
    put16(ip, 2, static_cast<std::uint16_t>(20 + t.size()));
    ip[8] = 64;
    ip[9] = s.protocol;
    std::memcpy(&ip[12], s.src, 4);
    std::memcpy(&ip[16], s.dst, 4);
    f.insert(f.end(), ip.begin(), ip.end());
    f.insert(f.end(), t.begin(), t.end());
    return f;
}

// IPv6 with a hop-by-hop and a destination-options header in front of the transport.
inline std::vector<std::uint8_t> ipv6_frame(std::uint8_t last_octet_src, std::uint8_t protocol,
                                            const ipv4_spec& s = {}, bool extensions = true)
{
    std::vector<std::uint8_t> f(14, 0);
    std::memcpy(f.data(), s.dst_mac, 6);
    put16(f, 12, 0x86DD);
    std::vector<std::uint8_t> ip(40, 0);
    ip[0] = 0x60;
    ip[6] = extensions ? 0 : protocol;
    ip[7] = 64;
    ip[8] = 0xFD;
    ip[23] = last_octet_src;
    ip[24] = 0xFD;
    ip[39] = 1;
    f.insert(f.end(), ip.begin(), ip.end());
    if (extensions) {
        std::vector<std::uint8_t> hop(8, 0), dest(16, 0);
        hop[0] = 60;       // next: destination options
        dest[0] = protocol;
        dest[1] = 1;       // 16 bytes
        f.insert(f.end(), hop.begin(), hop.end());
        f.insert(f.end(), dest.begin(), dest.end());
    }
    const std::vector<std::uint8_t> t = transport(protocol, s);
    f.insert(f.end(), t.begin(), t.end());
    return f;
}

}  // namespace corvflt::testing
