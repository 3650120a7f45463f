// The simulated NDIS and kernel: see simulated_ndis.h.
#include "driver/ndis/sim/simulated_ndis.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "driver/ndis/binding.h"
#include "driver/ndis/kernel_shim.h"

namespace corvflt::ndis {

using namespace nt;

void sim_raise(NTSTATUS code);

// ------------------------------------------------------------------------ shim

namespace {
thread_local KIRQL irql = PASSIVE_LEVEL;
thread_local NTSTATUS raised = 0;  // the "exception" of the current guarded_call
}  // namespace

KIRQL current_irql() { return irql; }

// What a raised exception looks like here: guarded_call returns the code.
void sim_raise(NTSTATUS code)
{
    if (!raised)
        raised = code;
}

KIRQL raise_irql(KIRQL level)
{
    const KIRQL old = irql;
    if (level < old)
        sim::simulated_ndis::instance().violation("raise_irql below the current level");
    irql = level;
    return old;
}

void lower_irql(KIRQL level)
{
    if (level > irql)
        sim::simulated_ndis::instance().violation("lower_irql above the current level");
    irql = level;
}

std::int64_t system_time()
{
    if (const std::int64_t fixed = sim::simulated_ndis::instance().fixed_system_time.load())
        return fixed;
    using namespace std::chrono;
    // 1601 -> 1970: 11644473600 s.
    return (duration_cast<seconds>(system_clock::now().time_since_epoch()).count() + 11644473600) * 10000000;
}

NTSTATUS guarded_call(void (*fn)(void*), void* context)
{
    raised = 0;
    fn(context);
    const NTSTATUS code = raised;
    raised = 0;
    return code;
}

void guarded_copy_bytes(void* destination, const void* source, std::size_t length, bool to_user)
{
    if (raised)
        return;
    if (!to_user && sim::simulated_ndis::instance().user_read_hook)
        sim::simulated_ndis::instance().user_read_hook();
    const auto user = reinterpret_cast<std::uintptr_t>(to_user ? destination : source);
    if (!sim::simulated_ndis::instance().user_accessible(user, length)) {
        raised = STATUS_ACCESS_VIOLATION;  // where the kernel would take a page fault
        return;
    }
    std::memcpy(destination, source, length);
}

}  // namespace corvflt::ndis

namespace corvflt::ndis::sim {

namespace {

int protocol_pool_marker;  // NdisPoolHandle of NBLs the tests build (the "protocols'" pool)

// An NBL and everything hanging off it, allocated together; the NBL comes first so that
// the block is found from it.
struct nbl_block {
    NET_BUFFER_LIST nbl;
    std::vector<NET_BUFFER*> nbs;
    std::vector<MDL*> mdls;
    std::vector<std::unique_ptr<std::uint8_t[]>> data;
};

nbl_block* block_of(NET_BUFFER_LIST* nbl) { return reinterpret_cast<nbl_block*>(nbl); }

std::vector<std::uint8_t> read_nb(NET_BUFFER* nb)
{
    std::vector<std::uint8_t> out;
    std::uint32_t left = NET_BUFFER_DATA_LENGTH(nb);
    std::uint32_t offset = nb->data.CurrentMdlOffset;
    for (MDL* mdl = nb->data.CurrentMdl; mdl && left; mdl = mdl->Next) {
        const auto* va = static_cast<const std::uint8_t*>(mdl->MappedSystemVa);
        const std::uint32_t take = std::min(left, mdl->ByteCount - offset);
        out.insert(out.end(), va + offset, va + offset + take);
        left -= take;
        offset = 0;
    }
    return out;
}

std::uint32_t chain_length(NET_BUFFER_LIST* chain)
{
    std::uint32_t n = 0;
    for (; chain; chain = NET_BUFFER_LIST_NEXT_NBL(chain))
        ++n;
    return n;
}

void record_frames(NET_BUFFER_LIST* nbl, std::vector<recorded_frame>& into)
{
    for (NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(nbl); nb; nb = NET_BUFFER_NEXT_NB(nb)) {
        recorded_frame f;
        f.data = read_nb(nb);
        const auto type = static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(nbl->NetBufferListInfo[NetBufferListFrameType]));
        f.frame_type = static_cast<std::uint16_t>(type << 8 | type >> 8);
        f.nbl_flags = nbl->NblFlags;
        f.ieee8021q = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(nbl->NetBufferListInfo[Ieee8021QNetBufferListInfo]));
        f.from_filter = nbl->NdisPoolHandle != &protocol_pool_marker;
        f.nbl = nbl;
        into.push_back(std::move(f));
    }
}

nbl_block* new_block(NDIS_HANDLE pool_handle)
{
    auto* b = new nbl_block{};
    b->nbl.NdisPoolHandle = pool_handle;
    simulated_ndis::instance().live_nbls_.fetch_add(1);
    return b;
}

NET_BUFFER* add_nb(nbl_block* b, const std::uint8_t* bytes, std::uint32_t length, std::uint32_t mdl_bytes)
{
    auto* nb = new NET_BUFFER{};
    MDL** link = &nb->data.MdlChain;
    std::uint32_t done = 0;
    do {
        const std::uint32_t take = std::min(mdl_bytes ? mdl_bytes : length, length - done);
        auto* mdl = new MDL{};
        b->data.emplace_back(new std::uint8_t[take ? take : 1]);
        if (take)
            std::memcpy(b->data.back().get(), bytes + done, take);
        mdl->MappedSystemVa = b->data.back().get();
        mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
        mdl->ByteCount = take;
        *link = mdl;
        link = &mdl->Next;
        b->mdls.push_back(mdl);
        done += take;
    } while (done < length);
    nb->data.CurrentMdl = nb->data.MdlChain;
    NET_BUFFER_DATA_LENGTH(nb) = length;
    if (b->nbs.empty())
        b->nbl.header.FirstNetBuffer = nb;
    else
        NET_BUFFER_NEXT_NB(b->nbs.back()) = nb;
    b->nbs.push_back(nb);
    return nb;
}

void delete_block(nbl_block* b)
{
    for (NET_BUFFER* nb : b->nbs)
        delete nb;
    for (MDL* mdl : b->mdls)
        delete mdl;
    delete b;
    simulated_ndis::instance().live_nbls_.fetch_sub(1);
}

}  // namespace

struct simulated_ndis::pool {
    NET_BUFFER_LIST_POOL_PARAMETERS parameters;
    std::atomic<std::int64_t> live{0};
};

simulated_ndis& simulated_ndis::instance()
{
    static simulated_ndis sim;
    return sim;
}

void simulated_ndis::reset()
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (the_binding)
        violation("reset while the driver is loaded");
    chars_ = {};
    registered_ = device_registered_ = false;
    for (auto& f : major_)
        f = nullptr;
    driver_object_ = {};
    registry_.clear();
    miniports_.clear();
    events_.clear();
    user_memory_.clear();
    results_.clear();
    pending_irps_.clear();
    {
        std::lock_guard<std::mutex> v(violations_mutex_);
        violations_.clear();
    }
    export_query_ex = false;
    fail_allocation_at = 0;
    fail_allocations = false;
    fixed_system_time = 0;
    user_read_hook = nullptr;
    nbl_allocation_hook = nullptr;
}

void simulated_ndis::violation(const std::string& what)
{
    std::lock_guard<std::mutex> guard(violations_mutex_);
    violations_.push_back(what);
}

std::vector<std::string> simulated_ndis::violations()
{
    std::lock_guard<std::mutex> guard(violations_mutex_);
    return violations_;
}

miniport* simulated_ndis::miniport_of(NDIS_HANDLE filter_handle) { return static_cast<miniport*>(filter_handle); }

bool simulated_ndis::user_accessible(std::uintptr_t address, std::size_t length)
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = user_memory_.upper_bound(address);
    if (it == user_memory_.begin())
        return false;
    --it;
    return address >= it->first && address + length >= address && address + length <= it->first + it->second;
}

void simulated_ndis::register_user_memory(const void* start, std::size_t length)
{
    std::lock_guard<std::mutex> guard(mutex_);
    user_memory_[reinterpret_cast<std::uintptr_t>(start)] = length;
}

void simulated_ndis::unregister_user_memory(const void* start)
{
    std::lock_guard<std::mutex> guard(mutex_);
    user_memory_.erase(reinterpret_cast<std::uintptr_t>(start));
}

// ------------------------------------------------------------------------ driver

void simulated_ndis::set_registry_dword(const std::u16string& name, std::uint32_t value)
{
    std::vector<std::uint8_t> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    set_registry_value(name, REG_DWORD, bytes);
}

void simulated_ndis::set_registry_value(const std::u16string& name, ULONG type, std::vector<std::uint8_t> bytes)
{
    registry_[name] = {type, std::move(bytes)};
}

NTSTATUS simulated_ndis::load()
{
    driver_object_ = {};
    UNICODE_STRING path{};
    return DriverEntry(&driver_object_, &path);
}

void simulated_ndis::unload()
{
    if (!driver_object_.DriverUnload) {
        violation("unload without an unload routine");
        return;
    }
    driver_object_.DriverUnload(&driver_object_);
    driver_object_.DriverUnload = nullptr;
}

// ------------------------------------------------------------------------ adapters

miniport* simulated_ndis::attach(const std::string& name, NDIS_MEDIUM medium, std::uint32_t mtu,
                                 const std::vector<std::uint8_t>* offload, NDIS_STATUS* status_out,
                                 const std::uint8_t* mac)
{
    miniport* m;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        miniports_.push_back(std::make_unique<miniport>());
        m = miniports_.back().get();
    }
    m->name = name;
    m->medium = medium;
    m->mac[5] = static_cast<std::uint8_t>(miniports_.size());
    if (mac)
        std::memcpy(m->mac, mac, 6);
    std::u16string wide(name.begin(), name.end());
    std::u16string guid = u"{00000000-0000-0000-0000-000000000001}";
    NDIS_STRING base{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2), wide.data()};
    NDIS_STRING guid_name{static_cast<USHORT>(guid.size() * 2), static_cast<USHORT>(guid.size() * 2), guid.data()};
    std::vector<std::uint8_t> offload_copy;
    NDIS_FILTER_ATTACH_PARAMETERS p{};
    p.Header.Type = NDIS_OBJECT_TYPE_DEFAULT;
    p.FilterModuleGuidName = &guid_name;
    p.BaseMiniportIfIndex = static_cast<NET_IFINDEX>(10 + miniports_.size());
    p.BaseMiniportInstanceName = &base;
    p.BaseMiniportName = &base;
    p.MiniportMediaType = medium;
    p.MacAddressLength = medium == NdisMedium802_3 ? 6 : 0;
    std::memcpy(p.CurrentMacAddress, m->mac, 6);
    if (offload) {
        offload_copy = *offload;
        p.DefaultOffloadConfiguration = offload_copy.data();
    }
    const NDIS_STATUS status = chars_.AttachHandler(m, driver_context_, &p);
    if (status_out)
        *status_out = status;
    if (status != NDIS_STATUS_SUCCESS)
        return nullptr;
    if (!m->module_context)
        violation("attach succeeded without NdisFSetAttributes");
    m->attached = true;
    if (offload)
        std::memcpy(const_cast<std::uint8_t*>(offload->data()), offload_copy.data(), offload->size());
    restart(m, mtu);
    return m;
}

NDIS_STATUS simulated_ndis::restart(miniport* m, std::uint32_t mtu, std::uint32_t* mtu_seen, std::uint32_t* lookahead_seen)
{
    struct {
        NDIS_RESTART_ATTRIBUTES attributes;
        NDIS_RESTART_GENERAL_ATTRIBUTES general;
    } block{};
    block.attributes.Oid = OID_GEN_MINIPORT_RESTART_ATTRIBUTES;
    block.attributes.DataLength = sizeof(NDIS_RESTART_GENERAL_ATTRIBUTES);
    auto* general = reinterpret_cast<NDIS_RESTART_GENERAL_ATTRIBUTES*>(block.attributes.Data);
    general->MtuSize = mtu;
    general->LookaheadSize = 256;
    NDIS_FILTER_RESTART_PARAMETERS p{};
    p.MiniportMediaType = m->medium;
    p.RestartAttributes = &block.attributes;
    const NDIS_STATUS status = chars_.RestartHandler(m->module_context, &p);
    if (mtu_seen)
        *mtu_seen = general->MtuSize;
    if (lookahead_seen)
        *lookahead_seen = general->LookaheadSize;
    m->running = status == NDIS_STATUS_SUCCESS;
    return status;
}

NDIS_STATUS simulated_ndis::pause(miniport* m)
{
    NDIS_FILTER_PAUSE_PARAMETERS p{};
    const NDIS_STATUS status = chars_.PauseHandler(m->module_context, &p);
    m->running = false;
    // A paused filter has nothing of its own outstanding.
    std::lock_guard<std::mutex> guard(m->mutex);
    for (NET_BUFFER_LIST* nbl : m->sent_down)
        if (nbl->NdisPoolHandle != &protocol_pool_marker)
            violation("pause returned with a driver send outstanding");
    for (NET_BUFFER_LIST* nbl : m->indicated_up)
        if (nbl->NdisPoolHandle != &protocol_pool_marker)
            violation("pause returned with a driver indication outstanding");
    return status;
}

void simulated_ndis::detach(miniport* m)
{
    if (m->running)
        pause(m);
    chars_.DetachHandler(m->module_context);
    m->attached = false;
}

// ------------------------------------------------------------------------ frames

NET_BUFFER_LIST* simulated_ndis::build_chain(const std::vector<std::vector<std::uint8_t>>& frames,
                                             std::uint32_t mdl_bytes, std::uint16_t frame_type, std::uint32_t nbl_flags)
{
    NET_BUFFER_LIST* head = nullptr;
    NET_BUFFER_LIST** tail = &head;
    for (const auto& f : frames) {
        nbl_block* b = new_block(&protocol_pool_marker);
        add_nb(b, f.data(), static_cast<std::uint32_t>(f.size()), mdl_bytes);
        b->nbl.NblFlags = nbl_flags;
        b->nbl.NetBufferListInfo[NetBufferListFrameType] =
            reinterpret_cast<void*>(std::uintptr_t{static_cast<std::uint16_t>(frame_type << 8 | frame_type >> 8)});
        *tail = &b->nbl;
        tail = &NET_BUFFER_LIST_NEXT_NBL(&b->nbl);
    }
    return head;
}

NET_BUFFER_LIST* simulated_ndis::build_multi(const std::vector<std::vector<std::uint8_t>>& frames, std::uint32_t mdl_bytes)
{
    nbl_block* b = new_block(&protocol_pool_marker);
    for (const auto& f : frames)
        add_nb(b, f.data(), static_cast<std::uint32_t>(f.size()), mdl_bytes);
    return &b->nbl;
}

void simulated_ndis::free_chain(NET_BUFFER_LIST* chain)
{
    while (chain) {
        NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(chain);
        if (chain->NdisPoolHandle != &protocol_pool_marker)
            violation("test freed an NBL it did not build");
        else
            delete_block(block_of(chain));
        chain = next;
    }
}

void simulated_ndis::protocol_send(miniport* m, NET_BUFFER_LIST* chain, bool at_dispatch)
{
    const KIRQL old = at_dispatch ? raise_irql(DISPATCH_LEVEL) : irql;
    chars_.SendNetBufferListsHandler(m->module_context, chain, 0, at_dispatch ? NDIS_SEND_FLAGS_DISPATCH_LEVEL : 0);
    lower_irql(old);
}

void simulated_ndis::miniport_receive(miniport* m, NET_BUFFER_LIST* chain, bool resources, bool at_dispatch)
{
    const KIRQL old = at_dispatch ? raise_irql(DISPATCH_LEVEL) : irql;
    ULONG flags = at_dispatch ? NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL : 0;
    if (resources)
        flags |= NDIS_RECEIVE_FLAGS_RESOURCES;
    chars_.ReceiveNetBufferListsHandler(m->module_context, chain, 0, chain_length(chain), flags);
    lower_irql(old);
}

void simulated_ndis::complete_sends(miniport* m)
{
    std::vector<NET_BUFFER_LIST*> sent;
    {
        std::lock_guard<std::mutex> guard(m->mutex);
        sent.swap(m->sent_down);
    }
    if (sent.empty())
        return;
    for (std::size_t i = 0; i < sent.size(); ++i)
        NET_BUFFER_LIST_NEXT_NBL(sent[i]) = i + 1 < sent.size() ? sent[i + 1] : nullptr;
    const KIRQL old = raise_irql(DISPATCH_LEVEL);
    chars_.SendNetBufferListsCompleteHandler(m->module_context, sent[0], NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL);
    lower_irql(old);
}

void simulated_ndis::return_indications(miniport* m)
{
    std::vector<NET_BUFFER_LIST*> up;
    {
        std::lock_guard<std::mutex> guard(m->mutex);
        up.swap(m->indicated_up);
    }
    if (up.empty())
        return;
    for (std::size_t i = 0; i < up.size(); ++i)
        NET_BUFFER_LIST_NEXT_NBL(up[i]) = i + 1 < up.size() ? up[i + 1] : nullptr;
    chars_.ReturnNetBufferListsHandler(m->module_context, up[0], 0);
}

void simulated_ndis::release_given_back(miniport* m)
{
    std::lock_guard<std::mutex> guard(m->mutex);
    for (auto& [nbl, status] : m->completed_to_protocol)
        delete_block(block_of(nbl));
    m->completed_to_protocol.clear();
    for (NET_BUFFER_LIST* nbl : m->returned_to_miniport)
        delete_block(block_of(nbl));
    m->returned_to_miniport.clear();
}

// ------------------------------------------------------------------------ OIDs and status

NDIS_STATUS simulated_ndis::protocol_oid(miniport* m, NDIS_OID_REQUEST* request)
{
    return chars_.OidRequestHandler(m->module_context, request);
}

void simulated_ndis::complete_pending_oids(miniport* m, NDIS_STATUS status, std::uint32_t bytes)
{
    std::vector<NDIS_OID_REQUEST*> pending;
    {
        std::lock_guard<std::mutex> guard(m->mutex);
        pending.swap(m->pending_oids);
    }
    for (NDIS_OID_REQUEST* r : pending) {
        if (r->RequestType == NdisRequestSetInformation)
            r->DATA.SET_INFORMATION.BytesRead = bytes;
        else if (r->RequestType == NdisRequestMethod)
            r->DATA.METHOD_INFORMATION.BytesWritten = bytes;
        else {
            const std::uint32_t n = std::min<std::uint32_t>(
                r->DATA.QUERY_INFORMATION.InformationBufferLength, static_cast<std::uint32_t>(m->oid_answer.size()));
            if (n)
                std::memcpy(r->DATA.QUERY_INFORMATION.InformationBuffer, m->oid_answer.data(), n);
            r->DATA.QUERY_INFORMATION.BytesWritten = bytes ? bytes : n;
        }
        chars_.OidRequestCompleteHandler(m->module_context, r, status);
    }
}

void simulated_ndis::indicate_status(miniport* m, NDIS_STATUS code, void* buffer, std::uint32_t length)
{
    NDIS_STATUS_INDICATION s{};
    s.Header.Type = NDIS_OBJECT_TYPE_STATUS_INDICATION;
    s.Header.Revision = NDIS_STATUS_INDICATION_REVISION_1;
    s.Header.Size = sizeof(s);
    s.SourceHandle = m;
    s.StatusCode = code;
    s.StatusBuffer = buffer;
    s.StatusBufferSize = length;
    chars_.StatusHandler(m->module_context, &s);
}

// ------------------------------------------------------------------------ control device

FILE_OBJECT* simulated_ndis::open()
{
    auto* file = reinterpret_cast<FILE_OBJECT*>(new std::uint8_t[16]);
    irp_result* r = ioctl(file, 0, {}, 0, IRP_MJ_CREATE);
    if (r->status != nt::STATUS_SUCCESS)
        violation("create failed");
    return file;
}

void simulated_ndis::cleanup_and_close(FILE_OBJECT* file)
{
    ioctl(file, 0, {}, 0, IRP_MJ_CLEANUP);
    ioctl(file, 0, {}, 0, IRP_MJ_CLOSE);
    delete[] reinterpret_cast<std::uint8_t*>(file);
}

irp_result* simulated_ndis::ioctl(FILE_OBJECT* file, std::uint32_t code, const std::vector<std::uint8_t>& in,
                                  std::uint32_t out_length, UCHAR major)
{
    auto result = std::make_unique<irp_result>();
    irp_result* r = result.get();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        results_.push_back(std::move(result));
    }
    // Exactly as long as the larger of the two lengths, so the sanitizers catch overreads.
    const std::size_t size = std::max<std::size_t>(in.size(), out_length);
    std::unique_ptr<std::uint8_t[]> system(size ? new std::uint8_t[size] : nullptr);
    if (size) {
        std::memset(system.get(), 0, size);
        if (!in.empty())
            std::memcpy(system.get(), in.data(), in.size());
    }
    auto irp = std::make_unique<IRP>();
    std::memset(irp.get(), 0, sizeof(IRP));
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = major;
    stack.FileObject = file;
    stack.Parameters.DeviceIoControl.IoControlCode = code;
    stack.Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(in.size());
    stack.Parameters.DeviceIoControl.OutputBufferLength = out_length;
    irp->AssociatedIrp.SystemBuffer = system.get();
    irp->Tail.Overlay.CurrentStackLocation = &stack;
    IRP* raw = irp.get();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        pending_irps_[raw] = r;
    }
    // The IRP, its stack location and system buffer live until completion.
    struct irp_storage {
        std::unique_ptr<IRP> irp;
        IO_STACK_LOCATION stack;
        std::unique_ptr<std::uint8_t[]> system;
        std::size_t size;
    };
    auto* storage = new irp_storage{std::move(irp), stack, std::move(system), size};
    storage->irp->Tail.Overlay.CurrentStackLocation = &storage->stack;
    storage->irp->UserBuffer = storage;  // found again at completion
    DRIVER_DISPATCH* dispatch = major_[major];
    if (!dispatch) {
        violation("no dispatch routine for a major function the device needs");
        return r;
    }
    r->returned = dispatch(nullptr, raw);
    // A completed IRP is gone: what it carried was kept in the result at completion.
    const bool marked = r->completed ? r->marked_pending : (storage->stack.Control & SL_PENDING_RETURNED) != 0;
    if (r->returned == nt::STATUS_PENDING && !marked)
        violation("STATUS_PENDING returned for an IRP not marked pending");
    if (r->returned != nt::STATUS_PENDING && r->completed && r->returned != r->status)
        violation("dispatch returned a status other than the one it completed with");
    return r;
}

// ------------------------------------------------------------------------ events

std::uint64_t simulated_ndis::create_event()
{
    std::lock_guard<std::mutex> guard(mutex_);
    const std::uint64_t h = next_handle_ += 4;
    events_[h] = std::make_unique<event_object>();
    return h;
}

std::uint64_t simulated_ndis::create_object_of_other_type()
{
    std::lock_guard<std::mutex> guard(mutex_);
    const std::uint64_t h = next_handle_ += 4;
    events_[h] = std::make_unique<event_object>();
    events_[h]->is_event = false;
    return h;
}

std::uint32_t simulated_ndis::signals(std::uint64_t handle)
{
    std::lock_guard<std::mutex> guard(mutex_);
    return events_.at(handle)->signals.load();
}

std::int32_t simulated_ndis::references(std::uint64_t handle)
{
    std::lock_guard<std::mutex> guard(mutex_);
    return events_.at(handle)->references.load();
}

std::int64_t simulated_ndis::live_event_references()
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::int64_t n = 0;
    for (auto& [h, e] : events_)
        n += e->references.load();
    return n;
}

}  // namespace corvflt::ndis::sim

// ------------------------------------------------------------------------ the exported functions

namespace corvflt::nt {

using corvflt::ndis::sim::miniport;
using corvflt::ndis::sim::simulated_ndis;

namespace {
simulated_ndis& S() { return simulated_ndis::instance(); }
OBJECT_TYPE* event_type = reinterpret_cast<OBJECT_TYPE*>(&event_type);

struct pool_header {
    std::size_t size;
    ULONG tag;
    ULONG magic;
};
constexpr ULONG LIVE = 0x4C495645;
}  // namespace

extern "C" {

ULONG_PTR MmUserProbeAddress = 0x00007FFFFFFF0000ull;
OBJECT_TYPE** ExEventObjectType = &event_type;

PVOID ExAllocatePoolWithTag(ULONG /*type*/, SIZE_T bytes, ULONG tag)
{
    if (S().fail_allocations.load())
        return nullptr;
    const std::int64_t at = S().fail_allocation_at.load();
    if (at > 0 && S().fail_allocation_at.fetch_sub(1) == 1)
        return nullptr;
    auto* h = static_cast<pool_header*>(std::aligned_alloc(16, (sizeof(pool_header) + 15) / 16 * 16 + (bytes + 15) / 16 * 16));
    h->size = bytes;
    h->tag = tag;
    h->magic = LIVE;
    S().pool_allocations_.fetch_add(1);
    return reinterpret_cast<std::uint8_t*>(h) + (sizeof(pool_header) + 15) / 16 * 16;
}

void ExFreePoolWithTag(PVOID p, ULONG tag)
{
    auto* h = reinterpret_cast<pool_header*>(static_cast<std::uint8_t*>(p) - (sizeof(pool_header) + 15) / 16 * 16);
    if (h->magic != LIVE)
        S().violation("pool memory freed twice or never allocated");
    if (h->tag != tag)
        S().violation("pool memory freed with another tag");
    h->magic = 0;
    S().pool_allocations_.fetch_sub(1);
    std::free(h);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, OBJECT_TYPE* type, KPROCESSOR_MODE mode,
                                   PVOID* object, PVOID)
{
    if (type != event_type || mode != UserMode || access != SYNCHRONIZE)
        S().violation("event referenced with the wrong type, mode or access");
    std::lock_guard<std::mutex> guard(S().mutex_);
    auto it = S().events_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == S().events_.end())
        return static_cast<NTSTATUS>(0xC0000008);  // STATUS_INVALID_HANDLE
    if (!it->second->is_event)
        return static_cast<NTSTATUS>(0xC0000024);  // STATUS_OBJECT_TYPE_MISMATCH
    it->second->references.fetch_add(1);
    *object = it->second.get();
    return STATUS_SUCCESS;
}

std::intptr_t ObfDereferenceObject(PVOID object)
{
    auto* e = static_cast<simulated_ndis::event_object*>(object);
    if (e->references.fetch_sub(1) <= 0)
        S().violation("object dereferenced below zero");
    return 0;
}

LONG KeSetEvent(KEVENT* event, KPRIORITY, BOOLEAN wait)
{
    auto* e = reinterpret_cast<simulated_ndis::event_object*>(event);
    if (e->references.load() <= 0)
        S().violation("event signalled without a reference");
    if (wait)
        S().violation("KeSetEvent with Wait");
    e->signals.fetch_add(1);
    return 0;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER* interval)
{
    if (corvflt::ndis::current_irql() != PASSIVE_LEVEL)
        S().violation("KeDelayExecutionThread above PASSIVE_LEVEL");
    std::this_thread::sleep_for(std::chrono::microseconds(-interval->QuadPart / 10));
    return STATUS_SUCCESS;
}

void IofCompleteRequest(IRP* irp, char)
{
    corvflt::ndis::sim::irp_result* r = nullptr;
    {
        std::lock_guard<std::mutex> guard(S().mutex_);
        auto it = S().pending_irps_.find(irp);
        if (it != S().pending_irps_.end()) {
            r = it->second;
            S().pending_irps_.erase(it);
        }
    }
    if (!r) {
        S().violation("IRP completed twice");
        return;
    }
    struct irp_storage {
        std::unique_ptr<IRP> irp;
        IO_STACK_LOCATION stack;
        std::unique_ptr<std::uint8_t[]> system;
        std::size_t size;
    };
    auto* storage = static_cast<irp_storage*>(irp->UserBuffer);
    r->status = irp->IoStatus.Status;
    r->information = irp->IoStatus.Information;
    r->marked_pending = (storage->stack.Control & SL_PENDING_RETURNED) != 0;
    if (r->information > storage->stack.Parameters.DeviceIoControl.OutputBufferLength)
        S().violation("IRP completed with more bytes than the output buffer holds");
    if (storage->size)
        r->buffer.assign(storage->system.get(), storage->system.get() + storage->size);
    r->completed = true;
    delete storage;
}

MDL* IoAllocateMdl(PVOID va, ULONG length, BOOLEAN, BOOLEAN, IRP*)
{
    auto* mdl = new MDL{};
    mdl->StartVa = va;
    mdl->ByteCount = length;
    S().live_mdls_.fetch_add(1);
    return mdl;
}

void IoFreeMdl(MDL* mdl)
{
    if (mdl->MdlFlags & 0x0002)  // still locked
        S().violation("MDL freed while its pages are locked");
    delete mdl;
    S().live_mdls_.fetch_sub(1);
}

void MmProbeAndLockPages(MDL* mdl, KPROCESSOR_MODE, LOCK_OPERATION)
{
    if (!S().user_accessible(reinterpret_cast<std::uintptr_t>(mdl->StartVa), mdl->ByteCount)) {
        // The kernel raises here: the pages cannot be locked.
        corvflt::ndis::sim_raise(STATUS_ACCESS_VIOLATION);
        return;
    }
    mdl->MdlFlags |= 0x0002;
    S().locked_mdls_.fetch_add(1);
}

void MmUnlockPages(MDL* mdl)
{
    if (!(mdl->MdlFlags & 0x0002))
        S().violation("MmUnlockPages on unlocked MDL");
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
        S().violation("pages unlocked while still mapped");
    mdl->MdlFlags &= ~0x0002;
    S().locked_mdls_.fetch_sub(1);
}

PVOID MmMapLockedPagesSpecifyCache(MDL* mdl, KPROCESSOR_MODE mode, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG)
{
    if (mode != KernelMode || !(mdl->MdlFlags & (0x0002 | MDL_SOURCE_IS_NONPAGED_POOL)))
        S().violation("mapping an MDL that is not locked, or into user space");
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = mdl->StartVa;  // one address space here
    return mdl->StartVa;
}

void MmUnmapLockedPages(PVOID, MDL* mdl) { mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA; }

NTSTATUS RtlQueryRegistryValues(ULONG relative, const WCHAR* path, RTL_QUERY_REGISTRY_TABLE* table, PVOID context,
                                PVOID)
{
    if (relative != RTL_REGISTRY_SERVICES || std::u16string(path) != u"CORVFLT\\Parameters")
        S().violation("registry parameters read from the wrong key");
    for (; table->QueryRoutine || table->Name; ++table) {
        auto it = S().registry_.find(table->Name);
        if (it == S().registry_.end())
            continue;
        auto& [type, bytes] = it->second;
        table->QueryRoutine(table->Name, type, bytes.data(), static_cast<ULONG>(bytes.size()), context,
                            table->EntryContext);
    }
    return STATUS_SUCCESS;
}

PVOID MmGetSystemRoutineAddress(UNICODE_STRING* name)
{
    const std::u16string n(name->Buffer, name->Length / 2);
    if (n == u"RtlQueryRegistryValuesEx" && S().export_query_ex)
        return reinterpret_cast<PVOID>(&RtlQueryRegistryValues);
    return nullptr;
}

// ---------------------------------------------------------------- NDIS

NDIS_STATUS NdisFRegisterFilterDriver(DRIVER_OBJECT* object, NDIS_HANDLE context,
                                      NDIS_FILTER_DRIVER_CHARACTERISTICS* c, NDIS_HANDLE* handle)
{
    if (c->Header.Type != NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS || c->Header.Size != sizeof(*c))
        return NDIS_STATUS_INVALID_PARAMETER;
    S().chars_ = *c;
    S().driver_context_ = context;
    *handle = &S();
    if (c->SetOptionsHandler && c->SetOptionsHandler(&S(), context) != NDIS_STATUS_SUCCESS)
        return NDIS_STATUS_FAILURE;
    (void)object;
    S().registered_ = true;
    return NDIS_STATUS_SUCCESS;
}

void NdisFDeregisterFilterDriver(NDIS_HANDLE)
{
    // NDIS pauses and detaches every module first.
    std::vector<miniport*> attached;
    {
        std::lock_guard<std::mutex> guard(S().mutex_);
        for (auto& m : S().miniports_)
            if (m->attached)
                attached.push_back(m.get());
    }
    for (miniport* m : attached)
        S().detach(m);
    S().registered_ = false;
}

NDIS_STATUS NdisFSetAttributes(NDIS_HANDLE filter, NDIS_HANDLE context, NDIS_FILTER_ATTRIBUTES* a)
{
    if (a->Header.Type != NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES)
        return NDIS_STATUS_INVALID_PARAMETER;
    static_cast<miniport*>(filter)->module_context = context;
    return NDIS_STATUS_SUCCESS;
}

NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE, NET_BUFFER_LIST_POOL_PARAMETERS* p)
{
    if (p->Header.Type != NDIS_OBJECT_TYPE_DEFAULT || p->Header.Size != sizeof(*p))
        return nullptr;
    auto* pool = new simulated_ndis::pool{};
    pool->parameters = *p;
    return pool;
}

void NdisFreeNetBufferListPool(NDIS_HANDLE handle)
{
    auto* pool = static_cast<simulated_ndis::pool*>(handle);
    if (pool->live.load() != 0)
        S().violation("NBL pool freed with NBLs outstanding");
    delete pool;
}

NET_BUFFER_LIST* NdisAllocateNetBufferList(NDIS_HANDLE handle, USHORT, USHORT)
{
    if (S().nbl_allocation_hook)
        S().nbl_allocation_hook();
    auto* pool = static_cast<simulated_ndis::pool*>(handle);
    auto* b = corvflt::ndis::sim::new_block(pool);
    if (pool->parameters.fAllocateNetBuffer) {
        std::vector<std::uint8_t> zero(pool->parameters.DataSize);
        corvflt::ndis::sim::add_nb(b, zero.data(), pool->parameters.DataSize, 0);
    }
    pool->live.fetch_add(1);
    return &b->nbl;
}

void NdisFreeNetBufferList(NET_BUFFER_LIST* nbl)
{
    auto* pool = static_cast<simulated_ndis::pool*>(nbl->NdisPoolHandle);
    NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(nbl);
    if (nb && NET_BUFFER_DATA_LENGTH(nb) != pool->parameters.DataSize)
        S().violation("NBL freed without its data length restored");
    pool->live.fetch_sub(1);
    corvflt::ndis::sim::delete_block(corvflt::ndis::sim::block_of(nbl));
}

void NdisFSendNetBufferLists(NDIS_HANDLE filter, NET_BUFFER_LIST* chain, NDIS_PORT_NUMBER, ULONG flags)
{
    auto* m = static_cast<miniport*>(filter);
    if (((flags & NDIS_SEND_FLAGS_DISPATCH_LEVEL) != 0) != (corvflt::ndis::current_irql() == DISPATCH_LEVEL))
        S().violation("send flags do not match the IRQL");
    std::lock_guard<std::mutex> guard(m->mutex);
    if (chain && chain->NdisPoolHandle != &corvflt::ndis::sim::protocol_pool_marker) {
        ++m->filter_send_chains;
        if (!m->running)
            S().violation("filter sent its own NBLs while paused");
    }
    for (NET_BUFFER_LIST* nbl = chain; nbl; nbl = NET_BUFFER_LIST_NEXT_NBL(nbl)) {
        corvflt::ndis::sim::record_frames(nbl, m->wire);
        m->sent_down.push_back(nbl);
    }
}

void NdisFSendNetBufferListsComplete(NDIS_HANDLE filter, NET_BUFFER_LIST* chain, ULONG)
{
    auto* m = static_cast<miniport*>(filter);
    std::lock_guard<std::mutex> guard(m->mutex);
    for (NET_BUFFER_LIST* nbl = chain; nbl;) {
        NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(nbl);
        if (nbl->NdisPoolHandle != &corvflt::ndis::sim::protocol_pool_marker)
            S().violation("filter completed a send it originated upward");
        m->completed_to_protocol.emplace_back(nbl, nbl->Status);
        nbl = next;
    }
}

void NdisFIndicateReceiveNetBufferLists(NDIS_HANDLE filter, NET_BUFFER_LIST* chain, NDIS_PORT_NUMBER, ULONG count,
                                        ULONG flags)
{
    auto* m = static_cast<miniport*>(filter);
    if (corvflt::ndis::sim::chain_length(chain) != count)
        S().violation("indication count does not match the chain");
    if (((flags & NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL) != 0) != (corvflt::ndis::current_irql() == DISPATCH_LEVEL))
        S().violation("receive flags do not match the IRQL");
    std::lock_guard<std::mutex> guard(m->mutex);
    if (chain && chain->NdisPoolHandle != &corvflt::ndis::sim::protocol_pool_marker) {
        ++m->filter_indicate_chains;
        if (!m->running)
            S().violation("filter indicated its own NBLs while paused");
    }
    for (NET_BUFFER_LIST* nbl = chain; nbl; nbl = NET_BUFFER_LIST_NEXT_NBL(nbl)) {
        corvflt::ndis::sim::record_frames(nbl, m->stack);
        // With the resources flag the protocols copy and the miniport keeps the NBL.
        if (!(flags & NDIS_RECEIVE_FLAGS_RESOURCES))
            m->indicated_up.push_back(nbl);
    }
}

void NdisFReturnNetBufferLists(NDIS_HANDLE filter, NET_BUFFER_LIST* chain, ULONG)
{
    auto* m = static_cast<miniport*>(filter);
    std::lock_guard<std::mutex> guard(m->mutex);
    for (NET_BUFFER_LIST* nbl = chain; nbl;) {
        NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(nbl);
        if (nbl->NdisPoolHandle != &corvflt::ndis::sim::protocol_pool_marker)
            S().violation("filter returned an NBL it originated to the miniport");
        m->returned_to_miniport.push_back(nbl);
        nbl = next;
    }
}

void NdisFCancelSendNetBufferLists(NDIS_HANDLE, PVOID) {}

PVOID NdisGetDataBuffer(NET_BUFFER* nb, ULONG needed, PVOID storage, UINT, UINT)
{
    if (needed > NET_BUFFER_DATA_LENGTH(nb))
        return nullptr;
    MDL* mdl = nb->data.CurrentMdl;
    const ULONG offset = nb->data.CurrentMdlOffset;
    if (mdl && mdl->ByteCount - offset >= needed)
        return static_cast<std::uint8_t*>(mdl->MappedSystemVa) + offset;
    if (!storage)
        return nullptr;
    std::vector<std::uint8_t> all = corvflt::ndis::sim::read_nb(nb);
    std::memcpy(storage, all.data(), needed);
    return storage;
}

NDIS_STATUS NdisAllocateCloneOidRequest(NDIS_HANDLE, NDIS_OID_REQUEST* request, UINT, NDIS_OID_REQUEST** clone)
{
    *clone = new NDIS_OID_REQUEST(*request);
    std::memset((*clone)->SourceReserved, 0, sizeof((*clone)->SourceReserved));
    S().live_clones_.fetch_add(1);
    return NDIS_STATUS_SUCCESS;
}

void NdisFreeCloneOidRequest(NDIS_HANDLE, NDIS_OID_REQUEST* request)
{
    delete request;
    S().live_clones_.fetch_sub(1);
}

NDIS_STATUS NdisFOidRequest(NDIS_HANDLE filter, NDIS_OID_REQUEST* r)
{
    auto* m = static_cast<miniport*>(filter);
    std::lock_guard<std::mutex> guard(m->mutex);
    const auto* data = static_cast<const std::uint8_t*>(r->DATA.QUERY_INFORMATION.InformationBuffer);
    m->oids_down.emplace_back(r->DATA.QUERY_INFORMATION.Oid,
                              std::vector<std::uint8_t>(data, data + (data ? r->DATA.QUERY_INFORMATION.InformationBufferLength : 0)));
    if (m->pend_oids) {
        m->pending_oids.push_back(r);
        return NDIS_STATUS_PENDING;
    }
    if (r->RequestType == NdisRequestSetInformation) {
        r->DATA.SET_INFORMATION.BytesRead = r->DATA.SET_INFORMATION.InformationBufferLength;
    } else if (r->RequestType != NdisRequestMethod) {
        const std::uint32_t n = std::min<std::uint32_t>(r->DATA.QUERY_INFORMATION.InformationBufferLength,
                                                        static_cast<std::uint32_t>(m->oid_answer.size()));
        if (n)
            std::memcpy(r->DATA.QUERY_INFORMATION.InformationBuffer, m->oid_answer.data(), n);
        r->DATA.QUERY_INFORMATION.BytesWritten = n;
    }
    return m->oid_status;
}

void NdisFOidRequestComplete(NDIS_HANDLE filter, NDIS_OID_REQUEST* request, NDIS_STATUS status)
{
    auto* m = static_cast<miniport*>(filter);
    std::lock_guard<std::mutex> guard(m->mutex);
    m->protocol_completions.emplace_back(request, status);
}

void NdisFCancelOidRequest(NDIS_HANDLE filter, PVOID)
{
    auto* m = static_cast<miniport*>(filter);
    std::lock_guard<std::mutex> guard(m->mutex);
    ++m->cancels;
}

void NdisFIndicateStatus(NDIS_HANDLE filter, NDIS_STATUS_INDICATION* s)
{
    auto* m = static_cast<miniport*>(filter);
    if (s->Header.Type != NDIS_OBJECT_TYPE_STATUS_INDICATION)
        S().violation("status indication without its header");
    std::lock_guard<std::mutex> guard(m->mutex);
    const auto* b = static_cast<const std::uint8_t*>(s->StatusBuffer);
    m->statuses.push_back({static_cast<std::uint32_t>(s->StatusCode),
                           std::vector<std::uint8_t>(b, b + (b ? s->StatusBufferSize : 0))});
}

void NdisFDevicePnPEventNotify(NDIS_HANDLE, NET_DEVICE_PNP_EVENT*) {}
NDIS_STATUS NdisFNetPnPEvent(NDIS_HANDLE, NET_PNP_EVENT_NOTIFICATION*) { return NDIS_STATUS_SUCCESS; }

NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE, NDIS_DEVICE_OBJECT_ATTRIBUTES* a, DEVICE_OBJECT** device,
                                 NDIS_HANDLE* handle)
{
    if (a->Header.Type != NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES)
        return NDIS_STATUS_INVALID_PARAMETER;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        S().major_[i] = a->MajorFunctions[i];
    S().device_name_.assign(a->DeviceName->Buffer, a->DeviceName->Length / 2);
    S().link_name_.assign(a->SymbolicName->Buffer, a->SymbolicName->Length / 2);
    S().device_registered_ = true;
    *device = reinterpret_cast<DEVICE_OBJECT*>(&S().major_);
    *handle = &S().device_name_;
    return NDIS_STATUS_SUCCESS;
}

void NdisDeregisterDeviceEx(NDIS_HANDLE) { S().device_registered_ = false; }

}  // extern "C"
}  // namespace corvflt::nt

