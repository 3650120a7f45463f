// The control device: open/close and the request dispatcher with every code's checks.
// Every length and count is tested before anything changes; caller-supplied addresses are
// only ever used through the host's probing read/write.
#include <cstring>
#include <new>

#include "driver/driver.h"

namespace corvflt {

using namespace tarnwell;

namespace {

constexpr std::uint32_t CHAIN_LIMIT = 128;  // frames handed to the host per call
constexpr std::uint32_t READ_CHUNK = 128;   // packets taken off a queue per lock and copy

std::uint32_t load_u32(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
std::uint64_t load_u64(const std::uint8_t* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
void store_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

struct handler_result {
    ntstatus status;
    std::uint32_t info;
};
constexpr handler_result invalid{STATUS_INVALID_PARAMETER, 0};
constexpr handler_result ok(std::uint32_t info = 0) { return {STATUS_SUCCESS, info}; }

}  // namespace

// The per-code handlers; a friend so that they reach the driver's state directly.
struct control_handlers {
    driver& d;
    std::uint64_t open;
    std::uint8_t* buffer;
    std::uint32_t in;
    std::uint32_t out;

    // Holds a control reference on a found adapter for the handler's duration.
    class adapter_ref {
    public:
        adapter_ref(driver& drv, std::uint64_t handle) : d_(drv), a_(drv.find_adapter(handle)) {}
        ~adapter_ref()
        {
            if (a_)
                d_.release_adapter(a_);
        }
        adapter_ref(const adapter_ref&) = delete;
        adapter_ref& operator=(const adapter_ref&) = delete;
        adapter_context* get() const { return a_; }
        explicit operator bool() const { return a_ != nullptr; }
        adapter_context* operator->() const { return a_; }

    private:
        driver& d_;
        adapter_context* a_;
    };

    // Copies the request record from the caller's buffer; false when the input is too short
    // to hold one.
    template <typename Request>
    bool take_request(Request& request) const
    {
        if (in < sizeof(Request))
            return false;
        std::memcpy(&request, buffer, sizeof(Request));
        return true;
    }

    packet_buffer* dequeue(adapter_context* a)
    {
        exclusive_guard<spin_lock> guard(a->queue_lock);
        packet_buffer* b = a->queue.pop_front();
        if (b)
            a->queue_count.fetch_sub(1, std::memory_order_relaxed);
        return b;
    }
    void requeue_front(adapter_context* a, packet_buffer* b)
    {
        exclusive_guard<spin_lock> guard(a->queue_lock);
        a->queue.push_front(b);
        a->queue_count.fetch_add(1, std::memory_order_relaxed);
    }
    // Takes up to `limit` packets off the front of the queue, oldest first.
    std::uint32_t dequeue_some(adapter_context* a, packet_buffer** taken, std::uint32_t limit)
    {
        std::uint32_t n = 0;
        exclusive_guard<spin_lock> guard(a->queue_lock);
        while (n < limit) {
            packet_buffer* b = a->queue.pop_front();
            if (!b)
                break;
            taken[n++] = b;
        }
        a->queue_count.fetch_sub(n, std::memory_order_relaxed);
        return n;
    }
    // Puts packets taken by dequeue_some back in front, in their order.
    void requeue_front(adapter_context* a, packet_buffer* const* taken, std::uint32_t n)
    {
        exclusive_guard<spin_lock> guard(a->queue_lock);
        for (std::uint32_t i = n; i-- > 0;)
            a->queue.push_front(taken[i]);
        a->queue_count.fetch_add(n, std::memory_order_relaxed);
    }

    // Copies a dequeued packet to the caller; on a bad unsafe_address the packet goes back to the
    // front of its queue instead of being lost.
    bool copy_out(adapter_context* a, packet_buffer* b, std::uint64_t unsafe_address, bool with_handle)
    {
        std::memset(b->record.link, 0, sizeof(b->record.link));
        if (with_handle) {
            const std::uint64_t handle = a->handle();
            std::memcpy(b->record.link, &handle, 8);
        }
        if (!d.host_.write_user(open, unsafe_address, &b->record,
                                INTERMEDIATE_BUFFER_HEADER_SIZE + b->record.length)) {
            std::memset(b->record.link, 0, sizeof(b->record.link));
            requeue_front(a, b);
            return false;
        }
        d.packet_pool_.release(b);
        return true;
    }

    // Reads one client record into a descriptor (the probe for 1566 readable bytes).
    packet_buffer* read_record(std::uint64_t unsafe_address, bool* unreadable)
    {
        packet_buffer* desc = d.descriptor_pool_.take_reserve();
        *unreadable = false;
        if (!desc)
            return nullptr;
        if (!d.host_.read_user(open, unsafe_address, &desc->record, sizeof(INTERMEDIATE_BUFFER))) {
            d.descriptor_pool_.release(desc);
            *unreadable = true;
            return nullptr;
        }
        return desc;
    }

    // Collects prepared frames and hands them to the host in chains.
    struct chain {
        chain(control_handlers& handlers, adapter_context* adapter, bool stack)
            : h(handlers), a(adapter), to_stack(stack)
        {
        }
        control_handlers& h;
        adapter_context* a;
        bool to_stack;
        frame_view views[CHAIN_LIMIT];
        packet_buffer* descs[CHAIN_LIMIT];
        std::uint32_t n = 0;
        void flush()
        {
            h.d.inject_chain(a, to_stack, views, n);
            for (std::uint32_t i = 0; i < n; ++i)
                h.d.descriptor_pool_.release(descs[i]);
            n = 0;
        }
        // Takes ownership of `desc`; false when the frame was refused.
        bool add(packet_buffer* desc)
        {
            if (!h.d.prepare_injection(a, to_stack, desc, &views[n])) {
                h.d.descriptor_pool_.release(desc);
                return false;
            }
            descs[n++] = desc;
            if (n == CHAIN_LIMIT)
                flush();
            return true;
        }
    };

    handler_result get_version()
    {
        if (out < 4)
            return invalid;
        store_u32(buffer, CORVFLT_DRIVER_VERSION);
        return ok(4);
    }

    handler_result get_adapter_list()
    {
        if (out < sizeof(ADAPTER_LIST))
            return invalid;
        std::memset(buffer, 0, sizeof(ADAPTER_LIST));
        exclusive_guard<spin_lock> guard(d.list_lock_);
        std::uint32_t n = 0;
        for (adapter_context* a = d.adapters_; a && n < ADAPTER_LIST_SIZE; a = a->next, ++n) {
            std::memcpy(buffer + offsetof(ADAPTER_LIST, names) + n * ADAPTER_NAME_SIZE,
                        a->ansi_name, ADAPTER_NAME_SIZE);
            const std::uint64_t handle = a->handle();
            std::memcpy(buffer + offsetof(ADAPTER_LIST, handles) + n * 8, &handle, 8);
            store_u32(buffer + offsetof(ADAPTER_LIST, media) + n * 4, a->medium);
            {
                exclusive_guard<spin_lock> wan(a->wan_lock);
                std::memcpy(buffer + offsetof(ADAPTER_LIST, mac_addresses) + n * 6,
                            a->medium == NDIS_MEDIUM_802_3 ? a->mac_address : a->wan_local_address,
                            6);
            }
            const std::uint16_t mtu = a->mtu.load();
            std::memcpy(buffer + offsetof(ADAPTER_LIST, mtus) + n * 2, &mtu, 2);
        }
        store_u32(buffer, n);
        return ok(sizeof(ADAPTER_LIST));
    }

    handler_result send_one(bool to_stack)
    {
        PACKET_REQUEST request;
        if (!take_request(request))
            return invalid;
        adapter_ref a(d, request.adapter_handle);
        if (!a)
            return invalid;
        bool unreadable;
        packet_buffer* desc = read_record(request.buffer, &unreadable);
        if (unreadable)
            return invalid;
        if (!desc) {
            // No descriptor left: the send outcome is not reported, but the caller's buffer
            // must still pass its checks.
            std::uint8_t header[INTERMEDIATE_BUFFER_HEADER_SIZE];
            if (!d.host_.read_user(open, request.buffer, header, sizeof(header)) ||
                !d.host_.read_user(open, request.buffer + sizeof(INTERMEDIATE_BUFFER) - 1, header, 1))
                return invalid;
            return load_u32(header + 20) <= MAX_TOTAL_SIZE ? ok() : invalid;
        }
        chain c(*this, a.get(), to_stack);
        const bool added = c.add(desc);
        c.flush();
        return added ? ok() : invalid;
    }

    handler_result read_packet()
    {
        PACKET_REQUEST request;
        if (!take_request(request))
            return invalid;
        adapter_ref a(d, request.adapter_handle);
        if (!a)
            return invalid;
        packet_buffer* b = dequeue(a.get());
        if (!b || !copy_out(a.get(), b, request.buffer, false))
            return invalid;
        return ok(sizeof(PACKET_REQUEST));
    }

    handler_result set_adapter_mode()
    {
        ADAPTER_MODE request;
        if (!take_request(request))
            return invalid;
        adapter_ref a(d, request.adapter_handle);
        if (!a)
            return invalid;
        exclusive_guard<spin_lock> guard(a->queue_lock);
        a->mode.store(request.mode, std::memory_order_relaxed);
        driver::bump_mode_generation(a.get());
        return ok();
    }

    handler_result flush_queue()
    {
        if (in < 8)
            return invalid;
        adapter_ref a(d, load_u64(buffer));
        if (!a)
            return invalid;
        packet_list drained;
        {
            exclusive_guard<spin_lock> guard(a->queue_lock);
            drained = a->queue;
            a->queue = packet_list{};
            a->queue_count.store(0);
            driver::bump_mode_generation(a.get());
        }
        d.packet_pool_.release_list(drained);
        return ok();
    }

    handler_result set_adapter_event(host_event* adapter_context::*which)
    {
        ADAPTER_EVENT request;
        if (!take_request(request))
            return invalid;
        adapter_ref a(d, request.adapter_handle);
        if (!a)
            return invalid;
        host_event* event = request.event ? d.host_.reference_event(open, request.event) : nullptr;
        host_event* old;
        {
            exclusive_guard<spin_lock> guard(a->queue_lock);
            old = a.get()->*which;
            a.get()->*which = event;
        }
        d.wait_for_event_signallers(a.get());
        if (old)
            d.host_.release_event(old);
        return request.event && !event ? invalid : ok();
    }

    handler_result set_global_event(host_event* driver::*which)
    {
        if (in < 8)
            return invalid;
        const std::uint64_t handle = load_u64(buffer);
        host_event* event = handle ? d.host_.reference_event(open, handle) : nullptr;
        d.replace_global(which, event);
        return handle && !event ? invalid : ok();
    }

    handler_result get_queue_size()
    {
        if (in < 8 || out < 4)
            return invalid;
        adapter_ref a(d, load_u64(buffer));
        if (!a)
            return invalid;
        store_u32(buffer, a->queue_count.load());
        return ok(4);
    }

    handler_result get_adapter_mode()
    {
        if (in < sizeof(ADAPTER_MODE) || out < sizeof(ADAPTER_MODE))
            return invalid;
        adapter_ref a(d, load_u64(buffer));
        if (!a)
            return invalid;
        store_u32(buffer + offsetof(ADAPTER_MODE, mode), a->mode.load());
        return ok(sizeof(ADAPTER_MODE));
    }

    handler_result set_filter_table()
    {
        if (in < filter_table_size(1))
            return invalid;
        const std::uint32_t count = load_u32(buffer);
        if (count == 0 || in < filter_table_size(count))
            return invalid;
        if (!d.filter_table_.set(d.host_, buffer + FILTER_TABLE_HEADER_SIZE, count,
                                 d.host_.seconds_since_1980()))
            return invalid;
        return ok();
    }

    handler_result get_filter_table(bool reset_stats)
    {
        if (!d.filter_table_.copy_out(buffer, out, reset_stats, d.host_.seconds_since_1980()))
            return invalid;
        return ok(out);
    }

    handler_result get_wan_links()
    {
        if (in < 8 || out < sizeof(WAN_LINKS))
            return invalid;
        adapter_ref a(d, load_u64(buffer));
        if (!a)
            return invalid;
        std::memset(buffer, 0, sizeof(WAN_LINKS));
        exclusive_guard<spin_lock> guard(a->wan_lock);
        std::uint32_t n = 0;
        for (wan_link* l = a->wan_links; l && n < MAX_WAN_LINKS; l = l->next, ++n)
            std::memcpy(buffer + offsetof(WAN_LINKS, links) + n * sizeof(WAN_LINK_INFO), &l->info,
                        sizeof(WAN_LINK_INFO));
        store_u32(buffer, n);
        return ok(sizeof(WAN_LINKS));
    }

    // Batch requests must hold every unsafe_address their count announces.
    bool batch_fits(std::uint32_t* count)
    {
        if (in < PACKET_BATCH_REQUEST_HEADER_SIZE + 8)
            return false;
        *count = load_u32(buffer + offsetof(PACKET_BATCH_REQUEST, count));
        return in >= packet_batch_request_size(*count);
    }

    handler_result send_batch(bool to_stack)
    {
        std::uint32_t count;
        if (!batch_fits(&count))
            return invalid;
        adapter_ref a(d, load_u64(buffer));
        if (!a)
            return invalid;
        bool failed = false;  // a record that cannot go fails the request; the others still go
        chain c(*this, a.get(), to_stack);
        // Records are read in chunks, each with one vectored copy straight into descriptors
        // (the probe for 1566 readable bytes per record); the chain is handed on per chunk.
        packet_buffer* descs[CHAIN_LIMIT];
        user_block blocks[CHAIN_LIMIT];
        std::uint32_t next = 0;
        while (next < count) {
            std::uint32_t n = 0;
            while (n < CHAIN_LIMIT && next + n < count) {
                packet_buffer* desc = d.descriptor_pool_.take_reserve();
                if (!desc)
                    break;
                descs[n] = desc;
                blocks[n] = user_block{};
                blocks[n].address =
                    load_u64(buffer + PACKET_BATCH_REQUEST_HEADER_SIZE + 8ull * (next + n));
                blocks[n].destination = &desc->record;
                blocks[n].length = sizeof(INTERMEDIATE_BUFFER);
                ++n;
            }
            if (n == 0) {
                failed = true;  // no descriptor left for this record
                ++next;
                continue;
            }
            std::uint32_t start = 0;
            while (start < n) {
                std::uint32_t got = d.host_.read_user_blocks(open, blocks + start, n - start);
                if (got > n - start)
                    got = n - start;
                for (std::uint32_t k = 0; k < got; ++k) {
                    if (!c.add(descs[start + k]))
                        failed = true;
                }
                start += got;
                if (start < n) {
                    d.descriptor_pool_.release(descs[start]);  // unreadable record
                    failed = true;
                    ++start;
                }
            }
            c.flush();
            next += n;
        }
        return failed ? invalid : ok();
    }

    handler_result read_batch()
    {
        std::uint32_t count;
        if (!batch_fits(&count))
            return invalid;
        adapter_ref a(d, load_u64(buffer));
        if (!a)
            return invalid;
        std::uint8_t* done_field = buffer + offsetof(PACKET_BATCH_REQUEST, packets_done);
        store_u32(done_field, 0);
        // Packets move in chunks: one queue lock, one copy to the caller and one pool lock
        // per chunk. A buffer the caller cannot take ends the batch; that packet and the
        // rest of its chunk go back to the front of the queue in their order.
        std::uint32_t done = 0;
        packet_buffer* taken[READ_CHUNK];
        user_block blocks[READ_CHUNK];
        while (done < count) {
            const std::uint32_t want = count - done < READ_CHUNK ? count - done : READ_CHUNK;
            const std::uint32_t n = dequeue_some(a.get(), taken, want);
            if (n == 0)
                break;
            for (std::uint32_t i = 0; i < n; ++i) {
                std::memset(taken[i]->record.link, 0, sizeof(taken[i]->record.link));
                blocks[i].address =
                    load_u64(buffer + PACKET_BATCH_REQUEST_HEADER_SIZE + 8ull * (done + i));
                blocks[i].source = &taken[i]->record;
                blocks[i].length = INTERMEDIATE_BUFFER_HEADER_SIZE + taken[i]->record.length;
            }
            std::uint32_t written = d.host_.write_user_blocks(open, blocks, n);
            if (written > n)
                written = n;
            packet_list copied;
            for (std::uint32_t i = 0; i < written; ++i)
                copied.push_back(taken[i]);
            d.packet_pool_.release_list(copied);
            if (written < n) {
                requeue_front(a.get(), taken + written, n - written);
                done += written;
                break;
            }
            done += n;
            if (n < want)
                break;  // the queue is drained
        }
        store_u32(done_field, done);
        return done ? ok(in) : invalid;
    }

    // Next running adapter with queued packets after `from` (or from the head), referenced.
    adapter_context* next_with_packets(adapter_context* from)
    {
        exclusive_guard<spin_lock> guard(d.list_lock_);
        for (adapter_context* a = from ? from->next : d.adapters_; a; a = a->next) {
            if (!a->queue_count.load(std::memory_order_relaxed))
                continue;
            a->control_references.fetch_add(1, std::memory_order_acq_rel);
            if (a->running())
                return a;
            a->control_references.fetch_sub(1, std::memory_order_acq_rel);
        }
        return nullptr;
    }

    handler_result read_mixed()
    {
        MIXED_BATCH_REQUEST request;
        if (!take_request(request))
            return invalid;
        std::uint32_t done = 0;
        adapter_context* a = next_with_packets(nullptr);
        while (a && done < request.count) {
            std::uint64_t unsafe_address;
            if (!d.host_.read_user(open, request.buffers + 8ull * done, &unsafe_address, 8))
                break;
            packet_buffer* b = dequeue(a);
            if (!b) {
                // This queue is drained: move on, keeping our place in the list referenced.
                adapter_context* next = next_with_packets(a);
                d.release_adapter(a);
                a = next;
                continue;
            }
            if (!copy_out(a, b, unsafe_address, true))
                break;
            ++done;
        }
        if (a)
            d.release_adapter(a);
        store_u32(buffer + offsetof(MIXED_BATCH_REQUEST, count), done);
        return done ? ok(sizeof(MIXED_BATCH_REQUEST)) : invalid;
    }

    handler_result send_mixed(bool to_stack)
    {
        MIXED_BATCH_REQUEST request;
        if (!take_request(request))
            return invalid;
        std::uint32_t sent = 0;
        for (std::uint32_t i = 0; i < request.count; ++i) {
            std::uint64_t unsafe_address;
            if (!d.host_.read_user(open, request.buffers + 8ull * i, &unsafe_address, 8))
                break;
            bool unreadable;
            packet_buffer* desc = read_record(unsafe_address, &unreadable);
            if (!desc)
                continue;
            adapter_ref a(d, load_u64(desc->record.link));
            if (!a) {
                d.descriptor_pool_.release(desc);
                continue;
            }
            chain c(*this, a.get(), to_stack);
            if (c.add(desc))
                ++sent;
            c.flush();
        }
        store_u32(buffer + offsetof(MIXED_BATCH_REQUEST, count), sent);
        return ok(sizeof(MIXED_BATCH_REQUEST));
    }

    // Section requests: a usable size holds the header and at least one slot; the header
    // words are updated atomically, so the buffer must be 4-byte aligned.
    bool section_request(SHARED_SECTION_REQUEST* request, std::uint32_t* capacity)
    {
        if (!take_request(*request))
            return false;
        if (request->size < sizeof(SHARED_SECTION_HEADER) || request->buffer % 4 != 0)
            return false;
        *capacity = (request->size - sizeof(SHARED_SECTION_HEADER)) / sizeof(INTERMEDIATE_BUFFER);
        // The write index is 16 bits wide.
        if (*capacity > 0xFFFF)
            *capacity = 0xFFFF;
        return *capacity != 0;
    }

    handler_result map_section(bool additional)
    {
        SHARED_SECTION_REQUEST request;
        std::uint32_t capacity;
        if (!section_request(&request, &capacity))
            return invalid;
        std::uint32_t slot = 0;
        bool claimed = false;
        {
            exclusive_guard<spin_lock> guard(d.list_lock_);
            if (additional) {
                if (!d.section_owned_ || d.section_owner_ != open)
                    return {STATUS_SHARED_SECTION_DENIED, 0};
                // Reserve a free slot now so that concurrent additions never share one.
                std::uint32_t used = 0;
                slot = MAX_SHARED_SECTIONS;
                for (std::uint32_t i = 0; i < MAX_SHARED_SECTIONS; ++i) {
                    if (d.sections_[i].size)
                        ++used;
                    else if (i > 0 && slot == MAX_SHARED_SECTIONS)
                        slot = i;
                }
                if (used >= MAX_SHARED_SECTIONS || slot == MAX_SHARED_SECTIONS)
                    return {STATUS_SHARED_SECTION_DENIED, 0};
                d.sections_[slot].size = request.size;  // reserved, not yet mapped
                ++d.additional_sections_;
            } else {
                if (d.section_owned_ && d.section_owner_ != open)
                    return {STATUS_SHARED_SECTION_DENIED, 0};
                if (d.sections_[0].size)
                    return {STATUS_SHARED_SECTION_DENIED, 0};
                claimed = !d.section_owned_;
                d.section_owned_ = true;
                d.section_owner_ = open;
                d.sections_[0].size = request.size;
            }
        }
        std::uint8_t* mapping = d.host_.map_user_section(open, request.buffer, request.size);
        bool stored = false;
        {
            exclusive_guard<spin_lock> guard(d.list_lock_);
            shared_section& s = d.sections_[slot];
            // The owner may have closed meanwhile and cleared the reservation.
            if (mapping && s.size == request.size && !s.mapping && d.section_owned_ &&
                d.section_owner_ == open) {
                s.mapping = mapping;
                s.capacity = capacity;
                d.sections_active_.store(true, std::memory_order_release);
                stored = true;
            } else if (s.size && !s.mapping && d.section_owned_ && d.section_owner_ == open) {
                s = shared_section{};
                if (additional)
                    --d.additional_sections_;
                else if (claimed)
                    d.section_owned_ = false;
            }
        }
        if (stored)
            return ok();
        if (mapping)
            d.host_.unmap_user_section(mapping, request.size);
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    }
};

void driver::open_handle(std::uint64_t /*open_handle*/) { open_count_.fetch_add(1); }

void driver::close_handle(std::uint64_t open_handle)
{
    shared_section released[MAX_SHARED_SECTIONS];
    bool owner = false;
    {
        exclusive_guard<spin_lock> guard(list_lock_);
        if (section_owned_ && section_owner_ == open_handle) {
            owner = true;
            for (std::uint32_t i = 0; i < MAX_SHARED_SECTIONS; ++i) {
                released[i] = sections_[i];
                sections_[i] = shared_section{};
            }
            section_owned_ = false;
            additional_sections_ = 0;
            sections_active_.store(false, std::memory_order_release);
        }
    }
    if (owner) {
        for (shared_section& s : released) {
            if (s.mapping)
                host_.unmap_user_section(s.mapping, s.size);
        }
    }
    if (open_count_.fetch_sub(1) != 1)
        return;
    // Last handle: every adapter goes back to its startup state. A reference keeps the
    // current record linked (pause waits for it) while its queue is reset outside the lock.
    adapter_context* a;
    {
        exclusive_guard<spin_lock> guard(list_lock_);
        a = adapters_;
        if (a)
            a->control_references.fetch_add(1);
    }
    while (a) {
        reset_queue(a);
        adapter_context* next;
        {
            exclusive_guard<spin_lock> guard(list_lock_);
            next = a->next;
            if (next)
                next->control_references.fetch_add(1);
        }
        release_adapter(a);
        a = next;
    }
    filter_table_.reset(host_);
}

ntstatus driver::dispatch(std::uint64_t open_handle, std::uint32_t code,
                          std::uint8_t* system_buffer, std::uint32_t in_length,
                          std::uint32_t out_length, std::uint32_t* bytes_returned,
                          std::uint64_t request_token)
{
    *bytes_returned = 0;
    if (!system_buffer)
        in_length = out_length = 0;
    control_handlers h{*this, open_handle, system_buffer, in_length, out_length};

    if (code == IOCTL_CORVFLT_SET_OID || code == IOCTL_CORVFLT_QUERY_OID) {
        if (in_length <= OID_REQUEST_RECORD_HEADER_SIZE || out_length <= OID_REQUEST_RECORD_HEADER_SIZE ||
            in_length != out_length)
            return STATUS_INVALID_PARAMETER;
        const std::uint64_t handle = load_u64(system_buffer);
        const std::uint32_t oid = load_u32(system_buffer + offsetof(OID_REQUEST_RECORD, oid));
        const std::uint32_t length = load_u32(system_buffer + offsetof(OID_REQUEST_RECORD, length));
        if (in_length < std::uint64_t{OID_REQUEST_RECORD_HEADER_SIZE} + length)
            return STATUS_INVALID_PARAMETER;
        adapter_context* a = find_adapter(handle);
        if (!a)
            return STATUS_INVALID_PARAMETER;
        void* memory = host_.allocate(sizeof(internal_oid_request));
        if (!memory) {
            // Out of memory is not a malformed request: the caller may retry it as it is.
            release_adapter(a);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        internal_oid_request* r = new (memory) internal_oid_request{};
        r->request.type = code == IOCTL_CORVFLT_SET_OID ? OID_TYPE_SET : OID_TYPE_QUERY;
        r->request.oid = oid;
        r->request.data = system_buffer + OID_REQUEST_RECORD_HEADER_SIZE;
        r->request.length = length;
        r->from_control = true;
        r->control_pending = true;
        r->control_token = request_token;
        r->control_buffer = system_buffer;
        r->control_length = in_length;
        const ntstatus status = issue_internal_oid(a, r);
        release_adapter(a);
        if (status == STATUS_SUCCESS)
            *bytes_returned = in_length;
        return status;
    }

    handler_result result = invalid;
    switch (code) {
    case IOCTL_CORVFLT_GET_VERSION: result = h.get_version(); break;
    case IOCTL_CORVFLT_GET_ADAPTER_LIST: result = h.get_adapter_list(); break;
    case IOCTL_CORVFLT_SEND_TO_ADAPTER: result = h.send_one(false); break;
    case IOCTL_CORVFLT_SEND_TO_STACK: result = h.send_one(true); break;
    case IOCTL_CORVFLT_READ_PACKET: result = h.read_packet(); break;
    case IOCTL_CORVFLT_SET_ADAPTER_MODE: result = h.set_adapter_mode(); break;
    case IOCTL_CORVFLT_FLUSH_QUEUE: result = h.flush_queue(); break;
    case IOCTL_CORVFLT_SET_PACKET_EVENT:
        result = h.set_adapter_event(&adapter_context::packet_event);
        break;
    case IOCTL_CORVFLT_SET_WAN_EVENT: result = h.set_global_event(&driver::wan_event_); break;
    case IOCTL_CORVFLT_SET_LIST_CHANGE_EVENT:
        result = h.set_global_event(&driver::list_change_event_);
        break;
    case IOCTL_CORVFLT_GET_QUEUE_SIZE: result = h.get_queue_size(); break;
    case IOCTL_CORVFLT_GET_ADAPTER_MODE: result = h.get_adapter_mode(); break;
    case IOCTL_CORVFLT_SET_FILTER_TABLE: result = h.set_filter_table(); break;
    case IOCTL_CORVFLT_RESET_FILTER_TABLE:
        filter_table_.reset(host_);
        result = ok();
        break;
    case IOCTL_CORVFLT_GET_FILTER_TABLE_SIZE:
        if (out_length >= 4) {
            store_u32(system_buffer, filter_table_.size());
            result = ok(4);
        }
        break;
    case IOCTL_CORVFLT_GET_FILTER_TABLE: result = h.get_filter_table(false); break;
    case IOCTL_CORVFLT_GET_FILTER_TABLE_RESET_STATS: result = h.get_filter_table(true); break;
    case IOCTL_CORVFLT_GET_WAN_LINKS: result = h.get_wan_links(); break;
    case IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER: result = h.send_batch(false); break;
    case IOCTL_CORVFLT_SEND_BATCH_TO_STACK: result = h.send_batch(true); break;
    case IOCTL_CORVFLT_READ_BATCH: result = h.read_batch(); break;
    case IOCTL_CORVFLT_SET_FILTER_CHANGE_EVENT:
        result = h.set_adapter_event(&adapter_context::filter_change_event);
        break;
    case IOCTL_CORVFLT_MAP_SHARED_SECTION: result = h.map_section(false); break;
    case IOCTL_CORVFLT_ADD_SHARED_SECTION: result = h.map_section(true); break;
    case IOCTL_CORVFLT_READ_MIXED: result = h.read_mixed(); break;
    case IOCTL_CORVFLT_SEND_MIXED_TO_ADAPTERS: result = h.send_mixed(false); break;
    case IOCTL_CORVFLT_SEND_MIXED_TO_STACK: result = h.send_mixed(true); break;
    default: break;
    }
    if (result.status != STATUS_SUCCESS)
        return result.status;
    // Never report more bytes than the caller's output buffer holds.
    *bytes_returned = result.info < out_length ? result.info : out_length;
    return STATUS_SUCCESS;
}

}  // namespace corvflt
