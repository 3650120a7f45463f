// The control device through IRPs: buffered method only, caller memory that faults,
// events referenced by handle, pass-through OIDs that pend, shared sections locked with
// MDLs, and the last close undoing it all.
#include "driver_ndis_test_support.h"

namespace corvflt::ndis::testing {
namespace {

TEST_F(ndis_test, bad_caller_addresses_and_other_methods_fail_without_touching_the_queue)
{
    load_and_open();
    miniport* a = S.attach("eth0", nt::NdisMedium802_3);
    const std::uint64_t h = handle_of("eth0");
    ASSERT_EQ(set_mode(h, MODE_TUNNEL_RECV), nt::STATUS_SUCCESS);
    S.miniport_receive(a, S.build_chain({frame(90, 4)}, 0));
    ASSERT_EQ(queue_size(h), 1u);
    user_records out(1);
    int unregistered = 0;
    const std::uint64_t addresses[] = {
        reinterpret_cast<std::uintptr_t>(&unregistered),   // not the caller's
        0xFFFF800000001000ull,                              // kernel space
        out.address(0) + 1500,                              // runs past the caller's buffer
        0,
    };
    for (std::uint64_t address : addresses) {
        PACKET_REQUEST request{h, address};
        EXPECT_EQ(ioctl(IOCTL_CORVFLT_READ_PACKET, bytes_of(request))->status, nt::STATUS_INVALID_PARAMETER);
        EXPECT_EQ(queue_size(h), 1u) << "the packet stays queued";
    }
    PACKET_REQUEST good{h, out.address(0)};
    EXPECT_EQ(ioctl(IOCTL_CORVFLT_READ_PACKET, bytes_of(good))->status, nt::STATUS_SUCCESS);
    EXPECT_EQ(out.frame_of(0), frame(90, 4));
    // A code of this device type with another transfer method never reaches the core.
    EXPECT_EQ(ioctl(IOCTL_CORVFLT_GET_VERSION | 3, {}, 4)->status, nt::STATUS_INVALID_PARAMETER);
    sim::irp_result* v = ioctl(IOCTL_CORVFLT_GET_VERSION, {}, 4);
    EXPECT_EQ(v->status, nt::STATUS_SUCCESS);
    EXPECT_EQ(v->information, 4u);
    S.release_given_back(a);
}

TEST_F(ndis_test, events_are_referenced_by_handle_signalled_and_released_at_the_last_close)
{
    load_and_open();
    miniport* a = S.attach("eth0", nt::NdisMedium802_3);
    const std::uint64_t h = handle_of("eth0");
    const std::uint64_t event = S.create_event();
    const std::uint64_t not_event = S.create_object_of_other_type();
    ADAPTER_EVENT wrong{h, not_event};
    ioctl(IOCTL_CORVFLT_SET_PACKET_EVENT, bytes_of(wrong));
    EXPECT_EQ(S.references(not_event), 0);
    ADAPTER_EVENT right{h, event};
    ASSERT_EQ(ioctl(IOCTL_CORVFLT_SET_PACKET_EVENT, bytes_of(right))->status, nt::STATUS_SUCCESS);
    EXPECT_EQ(S.references(event), 1);
    ASSERT_EQ(set_mode(h, MODE_TUNNEL_SEND), nt::STATUS_SUCCESS);
    S.protocol_send(a, S.build_chain({frame(60, 1), frame(61, 2)}, 0));
    EXPECT_EQ(S.signals(event), 2u);  // the binding hands the core one NBL at a time

    // A second handle closing changes nothing; the last close resets mode, queue and events.
    nt::FILE_OBJECT* second = S.open();
    S.cleanup_and_close(second);
    EXPECT_EQ(S.references(event), 1);
    S.cleanup_and_close(file);
    file = nullptr;
    EXPECT_EQ(S.references(event), 0);
    file = S.open();
    EXPECT_EQ(queue_size(h), 0u);
    S.protocol_send(a, S.build_chain({frame(60, 3)}, 0));
    EXPECT_EQ(a->wire.size(), 1u);  // mode back to 0: passes
    S.complete_sends(a);
    S.release_given_back(a);
}

TEST_F(ndis_test, pass_through_oids_pend_on_the_irp_and_complete_with_the_bytes_moved)
{
    load_and_open();
    miniport* a = S.attach("eth0", nt::NdisMedium802_3);
    const std::uint64_t h = handle_of("eth0");
    std::vector<std::uint8_t> record(16 + 6, 0);
    std::memcpy(record.data(), &h, 8);
    const std::uint32_t oid = 0x01010102, length = 6;  // OID_802_3_CURRENT_ADDRESS
    std::memcpy(record.data() + 8, &oid, 4);
    std::memcpy(record.data() + 12, &length, 4);

    a->pend_oids = true;
    a->oid_answer = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    sim::irp_result* r = ioctl(IOCTL_CORVFLT_QUERY_OID, record, static_cast<std::uint32_t>(record.size()));
    EXPECT_EQ(r->returned, nt::STATUS_PENDING);
    EXPECT_FALSE(r->completed);
    S.complete_pending_oids(a, nt::NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(r->status, nt::STATUS_SUCCESS);
    EXPECT_EQ(r->information, record.size());
    std::uint32_t moved;
    std::memcpy(&moved, r->buffer.data() + 12, 4);
    EXPECT_EQ(moved, 6u);
    EXPECT_EQ(0, std::memcmp(r->buffer.data() + 16, a->oid_answer.data(), 6));

    // Answered at once: still returned pending (the IRP was marked first), completed inside.
    a->pend_oids = false;
    r = ioctl(IOCTL_CORVFLT_QUERY_OID, record, static_cast<std::uint32_t>(record.size()));
    EXPECT_EQ(r->returned, nt::STATUS_PENDING);
    EXPECT_TRUE(r->completed);
    EXPECT_EQ(r->status, nt::STATUS_SUCCESS);

    // Output length different from input: refused before anything reaches the adapter.
    const std::size_t down = a->oids_down.size();
    r = ioctl(IOCTL_CORVFLT_SET_OID, record, static_cast<std::uint32_t>(record.size() + 1));
    EXPECT_TRUE(r->completed);
    EXPECT_EQ(r->status, nt::STATUS_INVALID_PARAMETER);
    EXPECT_EQ(a->oids_down.size(), down);
}

TEST_F(ndis_test, shared_sections_are_locked_and_unlocked_with_their_owner)
{
    load_and_open();
    miniport* a = S.attach("eth0", nt::NdisMedium802_3);
    const std::uint64_t h = handle_of("eth0");
    std::vector<std::uint8_t> section(8 + 4 * sizeof(INTERMEDIATE_BUFFER) + 8, 0);
    auto* base = reinterpret_cast<std::uint8_t*>((reinterpret_cast<std::uintptr_t>(section.data()) + 7) & ~std::uintptr_t{7});
    const std::uint32_t size = 8 + 4 * sizeof(INTERMEDIATE_BUFFER);

    // Memory the caller does not own: refused, nothing stays locked or allocated.
    SHARED_SECTION_REQUEST bad{reinterpret_cast<std::uintptr_t>(base), size};
    EXPECT_EQ(ioctl(IOCTL_CORVFLT_MAP_SHARED_SECTION, bytes_of(bad))->status, nt::STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(S.locked_mdls(), 0);
    EXPECT_EQ(S.live_mdls(), 0);

    S.register_user_memory(base, size);
    ASSERT_EQ(ioctl(IOCTL_CORVFLT_MAP_SHARED_SECTION, bytes_of(bad))->status, nt::STATUS_SUCCESS);
    EXPECT_EQ(S.locked_mdls(), 1);
    ASSERT_EQ(set_mode(h, MODE_TUNNEL_RECV), nt::STATUS_SUCCESS);
    S.miniport_receive(a, S.build_chain({frame(77, 6)}, 30));
    std::uint16_t written;
    std::memcpy(&written, base, 2);
    EXPECT_EQ(written, 1u);
    INTERMEDIATE_BUFFER slot;
    std::memcpy(&slot, base + 8, sizeof(slot));
    EXPECT_EQ(slot.adapter_handle, h);
    EXPECT_EQ(std::vector<std::uint8_t>(slot.frame, slot.frame + slot.length), frame(77, 6));

    S.cleanup_and_close(file);  // the owner closes: unlocked before the memory goes away
    file = nullptr;
    EXPECT_EQ(S.locked_mdls(), 0);
    S.unregister_user_memory(base);
    S.release_given_back(a);
}

}  // namespace
}  // namespace corvflt::ndis::testing
