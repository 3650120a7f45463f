#pragma once
// The binding over the simulated NDIS: a fixture that loads corvflt through DriverEntry,
// opens its control device, and at the end unloads it and fails the test if anything the
// binding took (pool memory, NBLs, MDLs, locked pages, OID clones, event references) was
// not given back, or if the simulated NDIS saw a rule broken.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/ndis/binding.h"
#include "driver/ndis/sim/simulated_ndis.h"
#include "tarnwell/control_interface.h"

namespace corvflt::ndis::testing {

using namespace tarnwell;
using sim::miniport;
using sim::simulated_ndis;

template <class T>
std::vector<std::uint8_t> bytes_of(const T& record)
{
    const auto* p = reinterpret_cast<const std::uint8_t*>(&record);
    return {p, p + sizeof(T)};
}

inline std::vector<std::uint8_t> frame(std::uint32_t length, std::uint8_t seed)
{
    std::vector<std::uint8_t> f(length);
    for (std::uint32_t i = 0; i < length; ++i)
        f[i] = static_cast<std::uint8_t>(seed + i * 7);
    f[0] = 0x02;  // unicast destination
    if (length >= 14) {
        f[12] = 0x08;
        f[13] = 0x00;
    }
    return f;
}

// A bare IPv4 packet for IP-medium adapters.
inline std::vector<std::uint8_t> ip_packet(std::uint32_t length, std::uint8_t seed)
{
    std::vector<std::uint8_t> p = frame(length, seed);
    p[0] = 0x45;
    return p;
}

class ndis_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        S.reset();
        base_allocations = S.live_pool_allocations();
    }
    void TearDown() override
    {
        if (file)
            S.cleanup_and_close(file);
        if (the_binding)
            S.unload();
        EXPECT_EQ(the_binding, nullptr);
        EXPECT_EQ(S.live_pool_allocations(), base_allocations) << "pool memory leaked";
        EXPECT_EQ(S.live_nbls(), 0) << "NBLs leaked";
        EXPECT_EQ(S.live_mdls(), 0);
        EXPECT_EQ(S.locked_mdls(), 0);
        EXPECT_EQ(S.live_clones(), 0);
        EXPECT_EQ(S.live_event_references(), 0);
        for (const std::string& v : S.violations())
            ADD_FAILURE() << "simulated NDIS: " << v;
    }

    void load_and_open()
    {
        ASSERT_EQ(S.load(), nt::STATUS_SUCCESS);
        file = S.open();
    }

    sim::irp_result* ioctl(std::uint32_t code, const std::vector<std::uint8_t>& in, std::uint32_t out = 0)
    {
        return S.ioctl(file, code, in, out);
    }

    std::uint64_t handle_of(const std::string& name)
    {
        sim::irp_result* r = ioctl(IOCTL_CORVFLT_GET_ADAPTER_LIST, {}, sizeof(ADAPTER_LIST));
        EXPECT_EQ(r->status, nt::STATUS_SUCCESS);
        ADAPTER_LIST list;
        std::memcpy(&list, r->buffer.data(), sizeof(list));
        for (std::uint32_t i = 0; i < list.count; ++i)
            if (name == list.names[i])
                return list.handles[i];
        ADD_FAILURE() << "no adapter " << name;
        return 0;
    }

    nt::NTSTATUS set_mode(std::uint64_t handle, std::uint32_t mode)
    {
        ADAPTER_MODE m{handle, mode};
        return ioctl(IOCTL_CORVFLT_SET_ADAPTER_MODE, bytes_of(m))->status;
    }

    std::uint32_t queue_size(std::uint64_t handle)
    {
        sim::irp_result* r = ioctl(IOCTL_CORVFLT_GET_QUEUE_SIZE, bytes_of(handle), 4);
        std::uint32_t n = 0;
        if (r->status == nt::STATUS_SUCCESS)
            std::memcpy(&n, r->buffer.data(), 4);
        return n;
    }

    simulated_ndis& S = simulated_ndis::instance();
    nt::FILE_OBJECT* file = nullptr;
    std::int64_t base_allocations = 0;
};

// Client packet buffers the simulated kernel treats as the caller's memory.
struct user_records {
    explicit user_records(std::size_t n) : records(n)
    {
        std::memset(records.data(), 0, n * sizeof(INTERMEDIATE_BUFFER));
        simulated_ndis::instance().register_user_memory(records.data(), n * sizeof(INTERMEDIATE_BUFFER));
    }
    ~user_records() { simulated_ndis::instance().unregister_user_memory(records.data()); }
    std::uint64_t address(std::size_t i) { return reinterpret_cast<std::uintptr_t>(&records[i]); }
    std::vector<std::uint8_t> frame_of(std::size_t i)
    {
        return {records[i].frame, records[i].frame + records[i].length};
    }
    std::vector<INTERMEDIATE_BUFFER> records;
};

}  // namespace corvflt::ndis::testing
