// host_env over corvflt.sys's binding on the simulated NDIS: the driver is loaded through
// DriverEntry, frames arrive as NET_BUFFER_LISTs from the simulated miniport (receives) and
// protocols (sends), requests as IRPs on the control device. After every call the
// simulated NDIS completes what was sent down and returns what was indicated up, as a
// running system does, so pause never waits on the test. At the end the driver is
// unloaded and the test fails if the binding kept anything (pool memory, NBLs, MDLs,
// locked pages, OID clones, event references) or the simulated NDIS saw a rule broken.
#include <map>
#include <mutex>
#include <shared_mutex>

#include "driver/ndis/binding.h"
#include "driver/status_records.h"
#include "driver/ndis/sim/simulated_ndis.h"
#include "driver_host_env.h"

namespace corvflt::testing {
namespace {

using ndis::sim::miniport;
using ndis::sim::simulated_ndis;

// Frames handed over one at a time are split over MDLs of this size, so that the binding's
// gathering of a frame from several buffers is part of every test.
constexpr std::uint32_t SINGLE_FRAME_MDL_BYTES = 16;
constexpr std::int64_t SECONDS_1601_TO_1980 = 11960006400;

class ndis_env final : public host_env {
public:
    // `low_resources`: the miniport indicates receives with the resources flag, so it keeps
    // its NBLs and the binding must indicate what passes one NBL at a time, chain intact.
    ndis_env(driver_parameters parameters, bool low_resources) : low_resources_(low_resources)
    {
        S.reset();
        base_allocations_ = S.live_pool_allocations();
        if (parameters.mtu_decrement)
            S.set_registry_dword(u"MTUDecrement", parameters.mtu_decrement);
        if (parameters.startup_mode)
            S.set_registry_dword(u"StartupMode", parameters.startup_mode);
        EXPECT_EQ(S.load(), nt::STATUS_SUCCESS);
        open();
    }
    ~ndis_env() override
    {
        for (auto& [id, file] : std::map<std::uint64_t, nt::FILE_OBJECT*>(files_))
            S.cleanup_and_close(file);
        files_.clear();
        S.user_read_hook = nullptr;
        {
            // A test that stopped early may leave OIDs pending, which pause would wait for.
            std::unique_lock lock(frames_mutex_);
            for (auto& [a, e] : adapters_) {
                if (e.m->attached)
                    S.complete_pending_oids(e.m, nt::NDIS_STATUS_FAILURE);
                settle(e);
            }
        }
        if (ndis::the_binding)
            S.unload();  // NDIS pauses and detaches every module first
        EXPECT_EQ(ndis::the_binding, nullptr);
        EXPECT_EQ(S.live_pool_allocations(), base_allocations_) << "pool memory leaked";
        EXPECT_EQ(S.live_nbls(), 0) << "NBLs leaked";
        EXPECT_EQ(S.live_mdls(), 0) << "MDLs leaked";
        EXPECT_EQ(S.locked_mdls(), 0) << "caller pages left locked";
        EXPECT_EQ(S.live_clones(), 0) << "OID clones leaked";
        EXPECT_EQ(S.live_event_references(), 0) << "event references leaked";
        for (const std::string& v : S.violations())
            ADD_FAILURE() << "simulated NDIS: " << v;
    }

    driver& core() override { return ndis::the_binding->core; }

    adapter_context* attach(const char* name, std::uint32_t medium, const std::uint8_t* mac,
                            std::uint32_t mtu) override
    {
        return attached(S.attach(name, static_cast<nt::NDIS_MEDIUM>(medium), mtu, nullptr, nullptr, mac), mtu);
    }
    adapter_context* attach_with_offload(const char* name, std::vector<std::uint8_t>& config) override
    {
        return attached(S.attach(name, nt::NdisMedium802_3, 1500, &config), 1500);
    }
    void detach(adapter_context* a) override
    {
        miniport* m;
        {
            std::unique_lock lock(frames_mutex_);
            entry& e = adapters_.at(a);
            settle(e);
            m = e.m;
            adapters_.erase(a);
        }
        S.detach(m);
    }
    void pause(adapter_context* a) override { S.pause(miniport_of(a)); }
    void restart(adapter_context* a, std::uint32_t mtu, std::uint32_t* mtu_seen,
                 std::uint32_t* lookahead_seen) override
    {
        miniport* m;
        std::uint32_t reported;
        {
            std::unique_lock lock(frames_mutex_);
            m = adapters_.at(a).m;
            reported = mtu ? mtu : adapters_.at(a).mtu;
        }
        S.restart(m, reported, mtu_seen, lookahead_seen);
    }

    frame_fate receive(adapter_context* a, const std::vector<std::uint8_t>& frame, bool loopback,
                       std::uint16_t frame_type) override
    {
        bool went_up;
        {
            std::shared_lock lock(frames_mutex_);
            nt::NET_BUFFER_LIST* nbl = S.build_chain({frame}, SINGLE_FRAME_MDL_BYTES, frame_type,
                                                     loopback ? nt::NDIS_NBL_FLAGS_IS_LOOPBACK_PACKET : 0);
            went_up = receive_nbl(adapters_.at(a), nbl);
        }
        settle(a);
        return went_up ? frame_fate::pass : frame_fate::consumed;
    }
    frame_fate send(adapter_context* a, const std::vector<std::uint8_t>& frame, std::uint16_t frame_type) override
    {
        bool taken = false;
        {
            std::shared_lock lock(frames_mutex_);
            miniport* m = adapters_.at(a).m;
            nt::NET_BUFFER_LIST* nbl = S.build_chain({frame}, SINGLE_FRAME_MDL_BYTES, frame_type);
            S.protocol_send(m, nbl);
            std::lock_guard<std::mutex> guard(m->mutex);
            for (const auto& [done, status] : m->completed_to_protocol)
                taken |= done == nbl;
        }
        settle(a);
        return taken ? frame_fate::consumed : frame_fate::pass;
    }
    // One NBL holding every frame: the binding hands its contiguous NBs to the core together.
    // When the core takes some, the NBL goes back to the miniport and the others go up as
    // the binding's copies, so a frame passed when an equal copy went up during the call
    // (exact as long as concurrent callers do not send equal frames).
    std::vector<frame_fate> receive_chain(adapter_context* a,
                                          const std::vector<std::vector<std::uint8_t>>& frames) override
    {
        std::vector<frame_fate> fates(frames.size(), frame_fate::pass);
        {
            std::shared_lock lock(frames_mutex_);
            entry& e = adapters_.at(a);
            nt::NET_BUFFER_LIST* nbl = S.build_multi(frames, 0);
            std::size_t first_new;
            {
                std::lock_guard<std::mutex> guard(e.m->mutex);
                first_new = e.m->stack.size();
            }
            if (!receive_nbl(e, nbl)) {
                std::lock_guard<std::mutex> guard(e.m->mutex);
                std::vector<bool> used(e.m->stack.size(), false);
                for (std::size_t i = 0; i < frames.size(); ++i) {
                    fates[i] = frame_fate::consumed;
                    for (std::size_t j = first_new; j < e.m->stack.size(); ++j) {
                        if (!used[j] && e.m->stack[j].from_filter && e.m->stack[j].data == frames[i]) {
                            used[j] = true;
                            fates[i] = frame_fate::pass;
                            break;
                        }
                    }
                }
            }
        }
        settle(a);
        return fates;
    }
    std::vector<seen_frame> sent(adapter_context* a) override
    {
        std::unique_lock lock(frames_mutex_);
        entry& e = adapters_.at(a);
        settle(e);
        return e.sent;
    }
    std::vector<seen_frame> indicated(adapter_context* a) override
    {
        std::unique_lock lock(frames_mutex_);
        entry& e = adapters_.at(a);
        settle(e);
        return e.indicated;
    }
    std::uint32_t send_chains(adapter_context* a) override
    {
        miniport* m = miniport_of(a);
        std::lock_guard<std::mutex> guard(m->mutex);
        return m->filter_send_chains;
    }
    std::uint32_t indicate_chains(adapter_context* a) override
    {
        miniport* m = miniport_of(a);
        std::lock_guard<std::mutex> guard(m->mutex);
        return m->filter_indicate_chains;
    }

    std::uint64_t open() override
    {
        nt::FILE_OBJECT* file = S.open();
        std::lock_guard<std::mutex> lock(handles_mutex_);
        const std::uint64_t id = next_handle_++;
        files_[id] = file;
        if (!files_.count(main_))
            main_ = id;  // the first handle opened after the main one closed takes its place
        return id;
    }
    void close(std::uint64_t handle) override
    {
        nt::FILE_OBJECT* file;
        {
            std::lock_guard<std::mutex> lock(handles_mutex_);
            auto it = files_.find(handle ? handle : main_);
            if (it == files_.end())
                return;
            file = it->second;
            files_.erase(it);
        }
        S.cleanup_and_close(file);
    }
    reply ioctl(std::uint32_t code, const std::vector<std::uint8_t>& in, std::uint32_t out_length,
                std::uint64_t handle) override
    {
        nt::FILE_OBJECT* file;
        {
            std::lock_guard<std::mutex> lock(handles_mutex_);
            file = files_.at(handle ? handle : main_);
        }
        ndis::sim::irp_result* r = S.ioctl(file, code, in, out_length);
        reply out;
        if (r->completed) {
            out.status = static_cast<ntstatus>(r->status);
            out.bytes = static_cast<std::uint32_t>(r->information);
            out.buffer = r->buffer;
        } else {
            out.status = STATUS_PENDING;
            out.buffer = in;
            out.buffer.resize(std::max<std::size_t>(in.size(), out_length), 0);
            std::lock_guard<std::mutex> lock(handles_mutex_);
            pending_ = r;
        }
        // Injections went down or up: the miniport completes them and the protocols return them.
        std::unique_lock lock(frames_mutex_);
        for (auto& [a, e] : adapters_)
            settle(e);
        return out;
    }
    bool completion(reply* out) override
    {
        std::lock_guard<std::mutex> lock(handles_mutex_);
        if (!pending_ || !pending_->completed)
            return false;
        out->status = static_cast<ntstatus>(pending_->status);
        out->bytes = static_cast<std::uint32_t>(pending_->information);
        out->buffer = pending_->buffer;
        return true;
    }

    void set_oid_answer(adapter_context* a, const std::vector<std::uint8_t>& answer) override
    {
        miniport* m = miniport_of(a);
        std::lock_guard<std::mutex> guard(m->mutex);
        m->oid_answer = answer;
    }
    void set_pend_oids(adapter_context* a, bool pend) override
    {
        miniport* m = miniport_of(a);
        std::lock_guard<std::mutex> guard(m->mutex);
        m->pend_oids = pend;
    }
    void complete_pending_oids(adapter_context* a, ntstatus status, std::uint32_t bytes_done) override
    {
        S.complete_pending_oids(miniport_of(a), static_cast<nt::NDIS_STATUS>(status), bytes_done);
    }
    std::vector<seen_oid> oids_down(adapter_context* a) override
    {
        miniport* m = miniport_of(a);
        std::lock_guard<std::mutex> guard(m->mutex);
        std::vector<seen_oid> out;
        for (const auto& [oid, data] : m->oids_down)
            out.push_back({static_cast<std::uint32_t>(oid), data});
        return out;
    }
    std::uint32_t cancels(adapter_context* a) override
    {
        miniport* m = miniport_of(a);
        std::lock_guard<std::mutex> guard(m->mutex);
        return m->cancels;
    }
    ntstatus protocol_oid(adapter_context* a, std::uint32_t type, std::uint32_t oid, std::uint8_t* data,
                          std::uint32_t length, std::uint32_t* bytes_done) override
    {
        // The protocol's request outlives a pending call: it completes into it later.
        auto& q = protocol_requests_.emplace_back(std::make_unique<nt::NDIS_OID_REQUEST>());
        std::memset(q.get(), 0, sizeof(nt::NDIS_OID_REQUEST));
        q->Header.Type = nt::NDIS_OBJECT_TYPE_OID_REQUEST;
        q->RequestType = type == OID_TYPE_SET ? nt::NdisRequestSetInformation : nt::NdisRequestQueryInformation;
        q->DATA.QUERY_INFORMATION.Oid = oid;
        q->DATA.QUERY_INFORMATION.InformationBuffer = data;
        q->DATA.QUERY_INFORMATION.InformationBufferLength = length;
        if (type == OID_TYPE_SET)
            q->DATA.SET_INFORMATION.BytesRead = *bytes_done;
        else
            q->DATA.QUERY_INFORMATION.BytesWritten = *bytes_done;
        const ntstatus status = static_cast<ntstatus>(S.protocol_oid(miniport_of(a), q.get()));
        *bytes_done = type == OID_TYPE_SET ? q->DATA.SET_INFORMATION.BytesRead : q->DATA.QUERY_INFORMATION.BytesWritten;
        return status;
    }
    std::vector<ntstatus> protocol_completions(adapter_context* a) override
    {
        miniport* m = miniport_of(a);
        std::lock_guard<std::mutex> guard(m->mutex);
        std::vector<ntstatus> out;
        for (const auto& c : m->protocol_completions)
            out.push_back(static_cast<ntstatus>(c.second));
        return out;
    }

    void indicate_status(adapter_context* a, std::uint32_t code, std::vector<std::uint8_t>& buffer) override
    {
        S.indicate_status(miniport_of(a), static_cast<nt::NDIS_STATUS>(code), buffer.data(),
                          static_cast<std::uint32_t>(buffer.size()));
    }
    std::vector<seen_status> statuses(adapter_context* a) override
    {
        miniport* m = miniport_of(a);
        std::lock_guard<std::mutex> guard(m->mutex);
        std::vector<seen_status> out;
        for (const ndis::sim::recorded_status& st : m->statuses)
            out.push_back({st.code, st.buffer});
        return out;
    }

    void wan_line_up(adapter_context* a, const std::array<std::uint8_t, 6>& remote,
                     const std::array<std::uint8_t, 6>& local, std::uint32_t maximum_total_size,
                     const std::vector<std::uint8_t>& protocol) override
    {
        std::vector<std::uint8_t> protocol_copy = protocol;
        nt::NDIS_WAN_LINE_UP up{};
        up.LinkSpeed = 1000;
        up.MaximumTotalSize = maximum_total_size;
        std::memcpy(up.RemoteAddress, remote.data(), 6);
        std::memcpy(up.LocalAddress, local.data(), 6);
        up.ProtocolBufferLength = static_cast<nt::ULONG>(protocol_copy.size());
        up.ProtocolBuffer = protocol_copy.data();
        S.indicate_status(miniport_of(a), STATUS_INDICATION_WAN_LINE_UP, &up, sizeof(up));
    }
    void wan_line_down(adapter_context* a, const std::array<std::uint8_t, 6>& remote,
                       const std::array<std::uint8_t, 6>& local) override
    {
        nt::NDIS_WAN_LINE_DOWN down{};
        std::memcpy(down.RemoteAddress, remote.data(), 6);
        std::memcpy(down.LocalAddress, local.data(), 6);
        S.indicate_status(miniport_of(a), STATUS_INDICATION_WAN_LINE_DOWN, &down, sizeof(down));
    }

    std::uint64_t create_event() override { return S.create_event(); }
    std::uint32_t signals(std::uint64_t event) override { return S.signals(event); }
    std::int32_t references(std::uint64_t event) override { return S.references(event); }
    void register_memory(const void* start, std::size_t length) override { S.register_user_memory(start, length); }
    void unregister_memory(const void* start) override { S.unregister_user_memory(start); }
    std::int64_t mapped_sections() override { return S.locked_mdls(); }
    void set_user_read_hook(std::function<void()> hook) override { S.user_read_hook = std::move(hook); }

    void fail_allocations(bool fail) override { S.fail_allocations = fail; }
    std::int64_t live_allocations() override { return S.live_pool_allocations(); }
    void set_clock(std::uint32_t seconds_since_1980) override
    {
        S.fixed_system_time = (static_cast<std::int64_t>(seconds_since_1980) + SECONDS_1601_TO_1980) * 10000000;
    }

private:
    struct entry {
        miniport* m = nullptr;
        std::uint32_t mtu = 1500;
        std::vector<seen_frame> sent;       // the driver's own frames that reached the wire
        std::vector<seen_frame> indicated;  // ... and the protocols
    };

    // Records a module attach returned (null when it failed).
    adapter_context* attached(miniport* m, std::uint32_t mtu)
    {
        if (!m)
            return nullptr;
        adapter_context* a = static_cast<ndis::filter_module*>(m->module_context)->core;
        std::unique_lock lock(frames_mutex_);
        entry& e = adapters_[a];
        e.m = m;
        e.mtu = mtu;
        return a;
    }
    miniport* miniport_of(adapter_context* a)
    {
        std::shared_lock lock(frames_mutex_);
        return adapters_.at(a).m;
    }

    // Under frames_mutex_ (shared): the miniport indicates `nbl` (a chain of one); whether
    // that very NBL reached the protocols. Without the resources flag a taken NBL comes back to the
    // miniport; with it the miniport keeps its NBL, which must reach the protocols or not at
    // all, and frees it once the indication returned.
    bool receive_nbl(entry& e, nt::NET_BUFFER_LIST* nbl)
    {
        std::size_t first_new;
        {
            std::lock_guard<std::mutex> guard(e.m->mutex);
            first_new = e.m->stack.size();
        }
        S.miniport_receive(e.m, nbl, low_resources_);
        std::lock_guard<std::mutex> guard(e.m->mutex);
        if (!low_resources_) {
            for (nt::NET_BUFFER_LIST* returned : e.m->returned_to_miniport)
                if (returned == nbl)
                    return false;
            return true;
        }
        bool went_up = false;
        for (std::size_t i = first_new; i < e.m->stack.size(); ++i)
            went_up |= e.m->stack[i].nbl == nbl;
        for (nt::NET_BUFFER_LIST* returned : e.m->returned_to_miniport)
            if (returned == nbl)
                ADD_FAILURE() << "an NBL indicated with the resources flag was returned";
        if (nt::NET_BUFFER_LIST_NEXT_NBL(nbl))
            ADD_FAILURE() << "the miniport's chain came back relinked";
        S.free_chain(nbl);
        return went_up;
    }

    void settle(adapter_context* a)
    {
        std::unique_lock lock(frames_mutex_);
        settle(adapters_.at(a));
    }
    // Under frames_mutex_ (exclusive, so that no call is looking for its NBLs meanwhile):
    // completes and returns everything outstanding, frees the test's NBLs the filter gave
    // back, and keeps the record of the driver's own frames.
    void settle(entry& e)
    {
        if (!e.m->attached)
            return;
        S.complete_sends(e.m);
        S.return_indications(e.m);
        S.release_given_back(e.m);
        std::lock_guard<std::mutex> guard(e.m->mutex);
        for (const ndis::sim::recorded_frame& f : e.m->wire)
            if (f.from_filter)
                e.sent.push_back({f.data, f.ieee8021q, f.frame_type});
        for (const ndis::sim::recorded_frame& f : e.m->stack)
            if (f.from_filter)
                e.indicated.push_back({f.data, f.ieee8021q, f.frame_type});
        e.m->wire.clear();
        e.m->stack.clear();
    }

    simulated_ndis& S = simulated_ndis::instance();
    const bool low_resources_;
    std::int64_t base_allocations_ = 0;
    // Shared by calls that hand the filter frames and look for their fate, exclusive for
    // settling (which completes, returns and forgets NBLs) and for the adapter map.
    std::shared_mutex frames_mutex_;
    std::map<adapter_context*, entry> adapters_;
    std::mutex handles_mutex_;
    std::map<std::uint64_t, nt::FILE_OBJECT*> files_;
    std::uint64_t next_handle_ = 1;
    std::uint64_t main_ = 0;
    ndis::sim::irp_result* pending_ = nullptr;
    std::vector<std::unique_ptr<nt::NDIS_OID_REQUEST>> protocol_requests_;
};

}  // namespace

std::unique_ptr<host_env> make_ndis_env(driver_parameters parameters, bool low_resources)
{
    return std::make_unique<ndis_env>(parameters, low_resources);
}

}  // namespace corvflt::testing
