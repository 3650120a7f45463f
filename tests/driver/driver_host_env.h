#pragma once
// One loaded driver with an open control handle, behind an interface that every host the
// core runs under implements: the fake host (frames handed to the core directly) and, in
// Linux builds, corvflt.sys's binding over the simulated NDIS (frames as NET_BUFFER_LISTs
// from the simulated miniport and protocols, requests as IRPs). Tests written against it
// run on each host through on_each_host.
//
// Frames are judged by what reached the other side: `pass` when the frame went on (the
// original, or on NDIS a copy the binding made because its NBL was partly taken),
// `consumed` when it did not. sent()/indicated() list only the frames the driver itself
// originated (client injections and such copies), never originals that passed.
//
// Not thread-safe unless a member says so; the data-path members (receive, send and their
// chains) and ioctl may run on several threads at once, as the core's entry points may.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver_test_support.h"

namespace corvflt::testing {

struct seen_frame {
    std::vector<std::uint8_t> data;
    std::uint32_t ieee8021q = 0;
    std::uint16_t frame_type = 0;
};

struct seen_oid {
    std::uint32_t oid = 0;
    std::vector<std::uint8_t> data;  // as sent down
};

struct seen_status {
    std::uint32_t code = 0;
    std::vector<std::uint8_t> buffer;
};

class host_env {
public:
    virtual ~host_env() = default;

    // The core under test (for introspection: pool counts, open count).
    virtual driver& core() = 0;

    // --- adapters; the core's record is the test's name for an adapter ---
    // Attached and restarted with the adapter reporting `mtu`. Null when attach failed.
    virtual adapter_context* attach(const char* name, std::uint32_t medium = NDIS_MEDIUM_802_3,
                                    const std::uint8_t* mac = nullptr, std::uint32_t mtu = 1500) = 0;
    // The same with a default offload configuration (offload_records.h layout) in the attach
    // parameters; `config` is left as the protocols above see it.
    virtual adapter_context* attach_with_offload(const char* name, std::vector<std::uint8_t>& config) = 0;
    virtual void detach(adapter_context* a) = 0;
    virtual void pause(adapter_context* a) = 0;
    // Restarts with the adapter reporting `mtu` (0: what it reported at attach), and says
    // what the stack above was told.
    virtual void restart(adapter_context* a, std::uint32_t mtu = 0, std::uint32_t* mtu_seen = nullptr,
                         std::uint32_t* lookahead_seen = nullptr) = 0;

    // --- frames ---
    virtual frame_fate receive(adapter_context* a, const std::vector<std::uint8_t>& frame,
                               bool loopback = false, std::uint16_t frame_type = 0) = 0;
    virtual frame_fate send(adapter_context* a, const std::vector<std::uint8_t>& frame,
                            std::uint16_t frame_type = 0) = 0;
    // Frames arriving together (one NBL on NDIS, one core call on the fake host).
    virtual std::vector<frame_fate> receive_chain(adapter_context* a,
                                                  const std::vector<std::vector<std::uint8_t>>& frames) = 0;
    // What the driver itself sent down / indicated up, and in how many chains.
    virtual std::vector<seen_frame> sent(adapter_context* a) = 0;
    virtual std::vector<seen_frame> indicated(adapter_context* a) = 0;
    virtual std::uint32_t send_chains(adapter_context* a) = 0;
    virtual std::uint32_t indicate_chains(adapter_context* a) = 0;

    // --- the control device ---
    // Handle 0 names the main handle: the one opened at construction, or once that closed,
    // the next one opened.
    virtual std::uint64_t open() = 0;
    virtual void close(std::uint64_t handle = 0) = 0;
    // A request whose system buffer is exactly max(in, out) bytes long. A request that pends
    // replies STATUS_PENDING; completion() tells its end once it completed.
    virtual reply ioctl(std::uint32_t code, const std::vector<std::uint8_t>& in, std::uint32_t out_length,
                        std::uint64_t handle = 0) = 0;
    // The final status, bytes and buffer of the last request that pended; false while it
    // has not completed.
    virtual bool completion(reply* out) = 0;

    // --- the adapter below: its OIDs and status indications ---
    virtual void set_oid_answer(adapter_context* a, const std::vector<std::uint8_t>& answer) = 0;
    virtual void set_pend_oids(adapter_context* a, bool pend) = 0;
    virtual void complete_pending_oids(adapter_context* a, ntstatus status, std::uint32_t bytes_done = 0) = 0;
    virtual std::vector<seen_oid> oids_down(adapter_context* a) = 0;
    virtual std::uint32_t cancels(adapter_context* a) = 0;
    // A protocol's OID request through the filter; `bytes_done` as the protocol sees it.
    virtual ntstatus protocol_oid(adapter_context* a, std::uint32_t type, std::uint32_t oid, std::uint8_t* data,
                                  std::uint32_t length, std::uint32_t* bytes_done) = 0;
    // Statuses of the protocols' requests that were completed upward after pending.
    virtual std::vector<ntstatus> protocol_completions(adapter_context* a) = 0;
    // A status indication from the adapter (the driver may edit `buffer`), and every
    // indication that reached the protocols.
    virtual void indicate_status(adapter_context* a, std::uint32_t code, std::vector<std::uint8_t>& buffer) = 0;
    virtual std::vector<seen_status> statuses(adapter_context* a) = 0;
    // WAN line up and down as the adapter indicates them in its host's own record.
    virtual void wan_line_up(adapter_context* a, const std::array<std::uint8_t, 6>& remote,
                             const std::array<std::uint8_t, 6>& local, std::uint32_t maximum_total_size,
                             const std::vector<std::uint8_t>& protocol) = 0;
    virtual void wan_line_down(adapter_context* a, const std::array<std::uint8_t, 6>& remote,
                               const std::array<std::uint8_t, 6>& local) = 0;

    // --- the caller's side ---
    virtual std::uint64_t create_event() = 0;
    virtual std::uint32_t signals(std::uint64_t event) = 0;
    virtual std::int32_t references(std::uint64_t event) = 0;
    virtual void register_memory(const void* start, std::size_t length) = 0;
    virtual void unregister_memory(const void* start) = 0;
    // Caller sections the driver holds locked and mapped.
    virtual std::int64_t mapped_sections() = 0;
    // Runs at the start of every read of the caller's memory (null: nothing).
    virtual void set_user_read_hook(std::function<void()> hook) = 0;

    // --- system services ---
    virtual void fail_allocations(bool fail) = 0;
    virtual std::int64_t live_allocations() = 0;
    virtual void set_clock(std::uint32_t seconds_since_1980) = 0;

    // --- helpers over the above ---
    template <class T>
    reply ioctl_record(std::uint32_t code, const T& record, std::uint32_t out_length = 0)
    {
        return ioctl(code, to_bytes(&record, sizeof(T)), out_length);
    }
    ntstatus set_mode(adapter_context* a, std::uint32_t mode)
    {
        return ioctl_record(IOCTL_CORVFLT_SET_ADAPTER_MODE, ADAPTER_MODE{a->handle(), mode}).status;
    }
    std::uint32_t queue_size(adapter_context* a) { return a->queue_count.load(); }
};

// ndis_low_resources: the binding with every receive indicated with the resources flag.
enum class host_kind { fake, ndis, ndis_low_resources };

// The hosts this build can run (the simulated NDIS only where the binding builds for tests).
std::vector<host_kind> driver_hosts();
std::unique_ptr<host_env> make_host_env(host_kind kind, driver_parameters parameters = {});
std::unique_ptr<host_env> make_fake_env(driver_parameters parameters);
std::unique_ptr<host_env> make_ndis_env(driver_parameters parameters, bool low_resources);

inline const char* host_name(host_kind kind)
{
    switch (kind) {
    case host_kind::ndis:
        return "ndis";
    case host_kind::ndis_low_resources:
        return "ndis_low_resources";
    default:
        return "fake";
    }
}
inline void PrintTo(host_kind kind, std::ostream* os) { *os << host_name(kind); }
inline std::string host_param_name(const ::testing::TestParamInfo<host_kind>& info) { return host_name(info.param); }

// Fixture of the tests that run on every host: INSTANTIATE_ON_EACH_HOST(suite) after them.
class on_each_host : public ::testing::TestWithParam<host_kind> {
protected:
    std::unique_ptr<host_env> make(driver_parameters parameters = {})
    {
        return make_host_env(GetParam(), parameters);
    }
};

#define INSTANTIATE_ON_EACH_HOST(suite) \
    INSTANTIATE_TEST_SUITE_P(hosts, suite, ::testing::ValuesIn(::corvflt::testing::driver_hosts()), \
                             ::corvflt::testing::host_param_name)

// Client packet buffers in memory the host treats as the caller's.
struct caller_buffers {
    caller_buffers(host_env& e, std::size_t n) : env(e), records(n)
    {
        std::memset(records.data(), 0, n * sizeof(INTERMEDIATE_BUFFER));
        env.register_memory(records.data(), n * sizeof(INTERMEDIATE_BUFFER));
    }
    ~caller_buffers() { env.unregister_memory(records.data()); }
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
    host_env& env;
    std::vector<INTERMEDIATE_BUFFER> records;
};

}  // namespace corvflt::testing
