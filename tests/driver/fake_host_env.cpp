// host_env over the fake host: the core's entry points called directly, frames and
// requests as the fake host records them.
#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include "driver/fake/fake_host.h"
#include "driver/status_records.h"
#include "driver_host_env.h"

namespace corvflt::testing {
namespace {

class fake_env final : public host_env {
public:
    explicit fake_env(driver_parameters parameters) : d_(host_)
    {
        EXPECT_EQ(d_.load(parameters), STATUS_SUCCESS);
        open();
    }
    ~fake_env() override
    {
        host_.read_hook = nullptr;
        for (std::uint64_t h : std::set<std::uint64_t>(open_))
            d_.close_handle(h);
        // A test that stopped early may leave OIDs pending, which pause would wait for.
        for (adapter_context* a : attached_) {
            host_.complete_pending_oids(d_, a, STATUS_UNSUCCESSFUL);
            host_.detach(d_, a);
        }
        d_.unload();
    }

    driver& core() override { return d_; }

    adapter_context* attach(const char* name, std::uint32_t medium, const std::uint8_t* mac,
                            std::uint32_t mtu) override
    {
        adapter_context* a = host_.attach(d_, name, medium, mac, mtu);
        if (a) {
            attached_.push_back(a);
            mtu_[a] = mtu;
        }
        return a;
    }
    adapter_context* attach_with_offload(const char* name, std::vector<std::uint8_t>& config) override
    {
        // The fake host's attach knows no offloads: attach and restart through the core.
        auto& fa = offload_adapters_.emplace_back(std::make_unique<fake::fake_adapter>());
        fa->name = name;
        adapter_description description;
        description.host_adapter = fa.get();
        description.base_miniport_name = fa->name.c_str();
        description.offload_configuration = config.data();
        description.offload_configuration_length = static_cast<std::uint32_t>(config.size());
        ntstatus status = 0;
        adapter_context* a = d_.attach(description, &status);
        if (!a)
            return nullptr;
        fa->context = a;
        attached_.push_back(a);
        mtu_[a] = 1500;
        restart(a, 1500, nullptr, nullptr);
        return a;
    }
    void detach(adapter_context* a) override
    {
        host_.detach(d_, a);
        std::erase(attached_, a);
    }
    void pause(adapter_context* a) override { d_.pause(a); }
    void restart(adapter_context* a, std::uint32_t mtu, std::uint32_t* mtu_seen,
                 std::uint32_t* lookahead_seen) override
    {
        std::uint32_t reported = mtu ? mtu : mtu_[a];
        std::uint32_t lookahead = 256;
        d_.restart(a, &reported, &lookahead);
        if (mtu_seen)
            *mtu_seen = reported;
        if (lookahead_seen)
            *lookahead_seen = lookahead;
    }

    frame_fate receive(adapter_context* a, const std::vector<std::uint8_t>& frame, bool loopback,
                       std::uint16_t frame_type) override
    {
        const frame_view v{frame.data(), static_cast<std::uint32_t>(frame.size()), 0, frame_type, loopback};
        frame_fate fate;
        d_.on_wire_receive(a, &v, 1, &fate);
        return fate;
    }
    frame_fate send(adapter_context* a, const std::vector<std::uint8_t>& frame, std::uint16_t frame_type) override
    {
        const frame_view v{frame.data(), static_cast<std::uint32_t>(frame.size()), 0, frame_type, false};
        frame_fate fate;
        d_.on_stack_send(a, &v, 1, &fate);
        return fate;
    }
    std::vector<frame_fate> receive_chain(adapter_context* a,
                                          const std::vector<std::vector<std::uint8_t>>& frames) override
    {
        std::vector<frame_view> views;
        for (const auto& f : frames)
            views.push_back(frame_view{f.data(), static_cast<std::uint32_t>(f.size()), 0, 0, false});
        std::vector<frame_fate> fates(frames.size());
        d_.on_wire_receive(a, views.data(), static_cast<std::uint32_t>(views.size()), fates.data());
        return fates;
    }
    std::vector<seen_frame> sent(adapter_context* a) override { return frames_of(a, &fake::fake_adapter::sent); }
    std::vector<seen_frame> indicated(adapter_context* a) override
    {
        return frames_of(a, &fake::fake_adapter::indicated);
    }
    std::uint32_t send_chains(adapter_context* a) override
    {
        std::lock_guard<std::mutex> lock(adapter_of(a).mutex);
        return adapter_of(a).send_calls;
    }
    std::uint32_t indicate_chains(adapter_context* a) override
    {
        std::lock_guard<std::mutex> lock(adapter_of(a).mutex);
        return adapter_of(a).indicate_calls;
    }

    std::uint64_t open() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t h = next_open_++;
        if (!open_.count(main_))
            main_ = h;  // the first handle opened after the main one closed takes its place
        open_.insert(h);
        d_.open_handle(h);
        return h;
    }
    void close(std::uint64_t handle) override
    {
        const std::uint64_t h = handle ? handle : main_;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!open_.erase(h))
                return;
        }
        d_.close_handle(h);
    }
    reply ioctl(std::uint32_t code, const std::vector<std::uint8_t>& in, std::uint32_t out_length,
                std::uint64_t handle) override
    {
        const std::uint32_t in_length = static_cast<std::uint32_t>(in.size());
        auto buffer = std::make_shared<std::vector<std::uint8_t>>(std::max(in_length, out_length), 0);
        if (!in.empty())
            std::memcpy(buffer->data(), in.data(), in.size());
        const std::uint64_t token = next_token_.fetch_add(1);
        reply r;
        r.status = d_.dispatch(handle ? handle : main_, code, buffer->empty() ? nullptr : buffer->data(),
                               in_length, out_length, &r.bytes, token);
        if (r.status == STATUS_PENDING) {
            // The core writes the answer into this buffer when the request completes.
            std::lock_guard<std::mutex> lock(mutex_);
            pending_ = {token, buffer};
            kept_.push_back(buffer);
        }
        r.buffer = *buffer;
        return r;
    }
    bool completion(reply* out) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fake::fake_host::completion c{};
        if (!pending_.buffer || !host_.completion_of(pending_.token, &c))
            return false;
        out->status = c.status;
        out->bytes = c.bytes;
        out->buffer = *pending_.buffer;
        return true;
    }

    void set_oid_answer(adapter_context* a, const std::vector<std::uint8_t>& answer) override
    {
        std::lock_guard<std::mutex> lock(adapter_of(a).mutex);
        adapter_of(a).oid_answer = answer;
    }
    void set_pend_oids(adapter_context* a, bool pend) override
    {
        std::lock_guard<std::mutex> lock(adapter_of(a).mutex);
        adapter_of(a).pend_oids = pend;
    }
    void complete_pending_oids(adapter_context* a, ntstatus status, std::uint32_t bytes_done) override
    {
        host_.complete_pending_oids(d_, a, status, bytes_done);
    }
    std::vector<seen_oid> oids_down(adapter_context* a) override
    {
        std::lock_guard<std::mutex> lock(adapter_of(a).mutex);
        std::vector<seen_oid> out;
        for (const fake::recorded_oid& o : adapter_of(a).oids)
            out.push_back({o.oid, o.data});
        return out;
    }
    std::uint32_t cancels(adapter_context* a) override
    {
        std::lock_guard<std::mutex> lock(adapter_of(a).mutex);
        return adapter_of(a).cancels;
    }
    ntstatus protocol_oid(adapter_context* a, std::uint32_t type, std::uint32_t oid, std::uint8_t* data,
                          std::uint32_t length, std::uint32_t* bytes_done) override
    {
        // The fake host's protocols hand the core their record; it lives as long as the env
        // because a pending request completes into it later.
        auto& r = protocol_requests_.emplace_back(std::make_unique<oid_request>());
        *r = oid_request{type, oid, data, length};
        r->bytes_done = *bytes_done;
        const ntstatus status = d_.on_protocol_oid(a, r.get());
        *bytes_done = r->bytes_done;
        return status;
    }
    std::vector<ntstatus> protocol_completions(adapter_context* a) override
    {
        std::lock_guard<std::mutex> lock(adapter_of(a).mutex);
        std::vector<ntstatus> out;
        for (const auto& c : adapter_of(a).protocol_completions)
            out.push_back(c.second);
        return out;
    }

    void indicate_status(adapter_context* a, std::uint32_t code, std::vector<std::uint8_t>& buffer) override
    {
        d_.on_status(a, code, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    }
    std::vector<seen_status> statuses(adapter_context* a) override
    {
        fake::fake_adapter& fa = adapter_of(a);
        std::lock_guard<std::mutex> lock(fa.mutex);
        std::vector<seen_status> out;
        for (const fake::recorded_status& st : fa.statuses)
            out.push_back({st.code, st.buffer});
        return out;
    }

    // The portable records of status_records.h, as the binding would build them.
    void wan_line_up(adapter_context* a, const std::array<std::uint8_t, 6>& remote,
                     const std::array<std::uint8_t, 6>& local, std::uint32_t maximum_total_size,
                     const std::vector<std::uint8_t>& protocol) override
    {
        std::vector<std::uint8_t> b(WAN_LINE_UP_PROTOCOL_BUFFER + protocol.size(), 0);
        const std::uint32_t speed = 1000;
        const auto length = static_cast<std::uint32_t>(protocol.size());
        std::memcpy(&b[WAN_LINE_UP_LINK_SPEED], &speed, 4);
        std::memcpy(&b[WAN_LINE_UP_MAXIMUM_TOTAL_SIZE], &maximum_total_size, 4);
        std::memcpy(&b[WAN_LINE_UP_REMOTE_ADDRESS], remote.data(), 6);
        std::memcpy(&b[WAN_LINE_UP_LOCAL_ADDRESS], local.data(), 6);
        std::memcpy(&b[WAN_LINE_UP_PROTOCOL_BUFFER_LENGTH], &length, 4);
        std::copy(protocol.begin(), protocol.end(), b.begin() + WAN_LINE_UP_PROTOCOL_BUFFER);
        indicate_status(a, STATUS_INDICATION_WAN_LINE_UP, b);
    }
    void wan_line_down(adapter_context* a, const std::array<std::uint8_t, 6>& remote,
                       const std::array<std::uint8_t, 6>& local) override
    {
        std::vector<std::uint8_t> b(WAN_LINE_DOWN_MIN_SIZE, 0);
        std::memcpy(&b[WAN_LINE_DOWN_REMOTE_ADDRESS], remote.data(), 6);
        std::memcpy(&b[WAN_LINE_DOWN_LOCAL_ADDRESS], local.data(), 6);
        indicate_status(a, STATUS_INDICATION_WAN_LINE_DOWN, b);
    }

    std::uint64_t create_event() override { return host_.create_event(); }
    std::uint32_t signals(std::uint64_t event) override { return host_.event(event).signals.load(); }
    std::int32_t references(std::uint64_t event) override { return host_.event(event).references.load(); }
    void register_memory(const void* start, std::size_t length) override { host_.register_memory(start, length); }
    void unregister_memory(const void* start) override { host_.unregister_memory(start); }
    std::int64_t mapped_sections() override { return host_.mapped_sections(); }
    void set_user_read_hook(std::function<void()> hook) override { host_.read_hook = std::move(hook); }

    void fail_allocations(bool fail) override { host_.fail_allocations = fail; }
    std::int64_t live_allocations() override { return host_.live_allocations(); }
    void set_clock(std::uint32_t seconds_since_1980) override { host_.now = seconds_since_1980; }

private:
    static fake::fake_adapter& adapter_of(adapter_context* a)
    {
        return *static_cast<fake::fake_adapter*>(a->host_adapter);
    }
    std::vector<seen_frame> frames_of(adapter_context* a, std::vector<fake::recorded_frame> fake::fake_adapter::*which)
    {
        fake::fake_adapter& fa = adapter_of(a);
        std::lock_guard<std::mutex> lock(fa.mutex);
        std::vector<seen_frame> out;
        for (const fake::recorded_frame& f : fa.*which)
            out.push_back({f.data, f.ieee8021q, f.frame_type});
        return out;
    }

    struct pending_request {
        std::uint64_t token = 0;
        std::shared_ptr<std::vector<std::uint8_t>> buffer;
    };

    fake::fake_host host_;
    std::vector<std::unique_ptr<fake::fake_adapter>> offload_adapters_;  // outlive the driver
    driver d_;
    std::vector<adapter_context*> attached_;
    std::map<adapter_context*, std::uint32_t> mtu_;
    std::mutex mutex_;
    std::set<std::uint64_t> open_;
    std::uint64_t next_open_ = 0x51;
    std::uint64_t main_ = 0;
    std::atomic<std::uint64_t> next_token_{1};
    pending_request pending_;
    std::vector<std::shared_ptr<std::vector<std::uint8_t>>> kept_;  // buffers of pended requests
    std::vector<std::unique_ptr<oid_request>> protocol_requests_;
};

}  // namespace

std::unique_ptr<host_env> make_fake_env(driver_parameters parameters)
{
    return std::make_unique<fake_env>(parameters);
}

}  // namespace corvflt::testing
