// Shared sections: ownership, the 16-section limit, delivery into slots with the header
// protocol, and what closing handles does to them -- on every host.
#include "driver_host_env.h"

namespace corvflt::testing {
namespace {

using driver_shared_section = on_each_host;

struct section_memory {
    section_memory(host_env& h, std::uint32_t slots)
        : host(h), bytes(sizeof(SHARED_SECTION_HEADER) + slots * sizeof(INTERMEDIATE_BUFFER) + 8)
    {
        storage.reset(new std::uint64_t[bytes / 8 + 1]());
        host.register_memory(storage.get(), bytes);
    }
    ~section_memory() { host.unregister_memory(storage.get()); }
    std::uint8_t* base() { return reinterpret_cast<std::uint8_t*>(storage.get()); }
    SHARED_SECTION_REQUEST request(std::uint32_t size = 0)
    {
        return {reinterpret_cast<std::uintptr_t>(base()), size ? size : static_cast<std::uint32_t>(bytes)};
    }
    SHARED_SECTION_HEADER header()
    {
        SHARED_SECTION_HEADER h;
        std::memcpy(&h, base(), sizeof(h));
        return h;
    }
    void set_state(std::uint32_t state) { std::memcpy(base() + 4, &state, 4); }
    INTERMEDIATE_BUFFER slot(std::uint32_t i)
    {
        INTERMEDIATE_BUFFER b;
        std::memcpy(&b, base() + 8 + i * sizeof(INTERMEDIATE_BUFFER), sizeof(b));
        return b;
    }
    host_env& host;
    std::size_t bytes;
    std::unique_ptr<std::uint64_t[]> storage;
};

TEST_P(driver_shared_section, ownership_and_limits)
{
    auto env = make();
    const std::uint64_t other = env->open();
    std::vector<std::unique_ptr<section_memory>> sections;
    for (int i = 0; i < 18; ++i)
        sections.push_back(std::make_unique<section_memory>(*env, 1));

    // Malformed sizes and unmapped memory fail before anything is claimed.
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_MAP_SHARED_SECTION, sections[0]->request(7)).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_MAP_SHARED_SECTION, sections[0]->request(8 + 1565)).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_ADD_SHARED_SECTION, sections[1]->request()).status,
              STATUS_SHARED_SECTION_DENIED);
    SHARED_SECTION_REQUEST wild{0x1000, 4096};
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_MAP_SHARED_SECTION, wild).status, STATUS_INSUFFICIENT_RESOURCES);

    ASSERT_EQ(env->ioctl_record(IOCTL_CORVFLT_MAP_SHARED_SECTION, sections[0]->request()).status, STATUS_SUCCESS);
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_MAP_SHARED_SECTION, sections[1]->request()).status,
              STATUS_SHARED_SECTION_DENIED);
    // A second handle can neither map nor add.
    SHARED_SECTION_REQUEST r1 = sections[1]->request();
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_MAP_SHARED_SECTION, to_bytes(&r1, sizeof(r1)), 0, other).status,
              STATUS_SHARED_SECTION_DENIED);
    EXPECT_EQ(env->ioctl(IOCTL_CORVFLT_ADD_SHARED_SECTION, to_bytes(&r1, sizeof(r1)), 0, other).status,
              STATUS_SHARED_SECTION_DENIED);
    for (int i = 1; i < 16; ++i)
        EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_ADD_SHARED_SECTION, sections[i]->request()).status, STATUS_SUCCESS) << i;
    EXPECT_EQ(env->ioctl_record(IOCTL_CORVFLT_ADD_SHARED_SECTION, sections[16]->request()).status,
              STATUS_SHARED_SECTION_DENIED);
    EXPECT_EQ(env->mapped_sections(), 16);

    // The non-owner closing keeps them; the owner closing unmaps them all.
    env->close(other);
    EXPECT_EQ(env->mapped_sections(), 16);
    env->close();
    EXPECT_EQ(env->mapped_sections(), 0);
}

TEST_P(driver_shared_section, delivery_and_state_changes)
{
    auto env = make();
    adapter_context* a = env->attach("\\DEVICE\\{A}");
    env->set_mode(a, MODE_TUNNEL_RECV);
    const std::uint64_t ev = env->create_event();
    env->ioctl_record(IOCTL_CORVFLT_SET_PACKET_EVENT, ADAPTER_EVENT{a->handle(), ev});
    section_memory first(*env, 2), second(*env, 2);
    ASSERT_EQ(env->ioctl_record(IOCTL_CORVFLT_MAP_SHARED_SECTION, first.request()).status, STATUS_SUCCESS);
    ASSERT_EQ(env->ioctl_record(IOCTL_CORVFLT_ADD_SHARED_SECTION, second.request()).status, STATUS_SUCCESS);

    ipv4_spec s;
    for (int i = 0; i < 3; ++i) {
        s.src_port = static_cast<std::uint16_t>(i + 1);
        EXPECT_EQ(env->receive(a, ipv4_frame(s)), frame_fate::consumed);
    }
    EXPECT_EQ(env->queue_size(a), 0u);  // sections replace the queue
    EXPECT_EQ(first.header().write_index, 2);
    EXPECT_EQ(first.header().writer_mark, 0);
    EXPECT_EQ(second.header().write_index, 1);
    EXPECT_EQ(+first.slot(0).adapter_handle, a->handle());
    EXPECT_EQ(first.slot(1).frame[14 + 20 + 1], 2);
    EXPECT_EQ(second.slot(0).frame[14 + 20 + 1], 3);
    EXPECT_EQ(env->signals(ev), 3u);
    EXPECT_EQ(env->core().pool().in_use(), 0u);

    // A reader that wants the second section (state 1) gets state 2 while packets wait;
    // with every section full or taken, packets are dropped and buffers return to the pool.
    second.set_state(1);
    env->receive(a, ipv4_frame(s));
    EXPECT_EQ(second.header().state, 2u);
    EXPECT_EQ(second.header().write_index, 1);
    EXPECT_EQ(env->core().pool().free_count(), 2048u);

    // A header whose writer mark is stuck does not hold the data path forever.
    second.set_state(0);
    std::uint16_t mark = 1;
    std::memcpy(second.base() + 2, &mark, 2);
    env->receive(a, ipv4_frame(s));
    EXPECT_EQ(second.header().write_index, 1);
    EXPECT_EQ(env->core().pool().free_count(), 2048u);
}

INSTANTIATE_ON_EACH_HOST(driver_shared_section);

}  // namespace
}  // namespace corvflt::testing
