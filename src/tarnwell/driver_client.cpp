#include "tarnwell/driver_client.h"

#include <utility>

#include "platform/adapter_names.h"

namespace tarnwell {
namespace {

std::unique_ptr<platform::control_device> open_device(const std::string& path)
{
    return platform::open_control_device(path).device;
}

std::uint32_t batch_size(const PACKET_BATCH_REQUEST& request)
{
    return static_cast<std::uint32_t>(packet_batch_request_size(request.count));
}

}  // namespace

CTarnwell::CTarnwell() : CTarnwell(std::string(CORVFLT_USER_DEVICE_PATH)) {}

CTarnwell::CTarnwell(const std::string& device_path) : CTarnwell(open_device(device_path))
{
    device_path_ = device_path;
}

CTarnwell::CTarnwell(std::unique_ptr<platform::control_device> device)
    : device_(std::move(device)), driver_open_(device_ != nullptr)
{
    wow64_ = platform::is_wow64_process();
    // A 32-bit process under WOW64 primes the driver with one adapter-list request at
    // open; the answer itself is not used.
    if (wow64_ && driver_open_) {
        auto list = std::make_unique<ADAPTER_LIST>();
        QueryAdapterList(*list);
    }
}

CTarnwell::~CTarnwell() = default;

std::shared_ptr<platform::control_device> CTarnwell::device() const
{
    std::lock_guard lock(device_mutex_);
    return device_;
}

bool CTarnwell::request(std::uint32_t code, const void* input, std::uint32_t input_length,
                        void* output, std::uint32_t output_length) const
{
    const std::shared_ptr<platform::control_device> device = this->device();
    if (!device)
        return false;
    std::uint32_t returned = 0;
    return check(device->control(code, input, input_length, output, output_length, &returned));
}

bool CTarnwell::post(std::uint32_t code, const void* input, std::uint32_t input_length) const
{
    const std::shared_ptr<platform::control_device> device = this->device();
    return device && check(device->post(code, input, input_length));
}

bool CTarnwell::check(std::uint32_t error) const
{
    if (error == platform::error_device_not_connected &&
        !driver_lost_.exchange(true, std::memory_order_relaxed))
        const_cast<CTarnwell*>(this)->on_driver_lost();
    return error == platform::error_success;
}

void CTarnwell::CompletePostedRequests() const
{
    if (const std::shared_ptr<platform::control_device> device = this->device())
        device->complete_posted();
}

bool CTarnwell::reopen()
{
    if (device_path_.empty())
        return false;
    std::unique_ptr<platform::control_device> fresh = open_device(device_path_);
    if (!fresh)
        return false;
    {
        std::lock_guard lock(device_mutex_);
        device_ = std::move(fresh);
    }
    driver_open_.store(true, std::memory_order_relaxed);
    driver_lost_.store(false, std::memory_order_relaxed);
    return true;
}

bool CTarnwell::QueryAdapterList(ADAPTER_LIST& list) const
{
    return request(IOCTL_CORVFLT_GET_ADAPTER_LIST, &list, sizeof list, &list, sizeof list);
}

bool CTarnwell::ApplyAdapterMode(const ADAPTER_MODE& mode) const
{
    return request(IOCTL_CORVFLT_SET_ADAPTER_MODE, &mode, sizeof mode, nullptr, 0);
}

bool CTarnwell::IsAdapterModeZero(std::uint64_t adapter_handle) const
{
    ADAPTER_MODE mode{adapter_handle, 0};
    if (!request(IOCTL_CORVFLT_GET_ADAPTER_MODE, &mode, sizeof mode, &mode, sizeof mode))
        return true;
    return mode.mode == 0;
}

bool CTarnwell::DropQueuedPackets(std::uint64_t adapter_handle) const
{
    return request(IOCTL_CORVFLT_FLUSH_QUEUE, &adapter_handle, sizeof adapter_handle, nullptr,
                   0);
}

bool CTarnwell::AttachPacketEvent(std::uint64_t adapter_handle, std::uint64_t event) const
{
    const ADAPTER_EVENT record{adapter_handle, event};
    return request(IOCTL_CORVFLT_SET_PACKET_EVENT, &record, sizeof record, nullptr, 0);
}

bool CTarnwell::AttachListChangeEvent(std::uint64_t event) const
{
    return request(IOCTL_CORVFLT_SET_LIST_CHANGE_EVENT, &event, sizeof event, nullptr, 0);
}

bool CTarnwell::QueryWanLinks(std::uint64_t adapter_handle, WAN_LINKS* links) const
{
    if (!links)
        return false;
    return request(IOCTL_CORVFLT_GET_WAN_LINKS, &adapter_handle, sizeof adapter_handle, links,
                   sizeof *links);
}

bool CTarnwell::ReadPacketBatch(PACKET_BATCH_REQUEST& request_record) const
{
    const std::uint32_t size = batch_size(request_record);
    return request(IOCTL_CORVFLT_READ_BATCH, &request_record, size, &request_record, size);
}

bool CTarnwell::SendBatchToAdapter(const PACKET_BATCH_REQUEST& request_record) const
{
    return request(IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER, &request_record,
                   batch_size(request_record), nullptr, 0);
}

bool CTarnwell::SendBatchToStack(const PACKET_BATCH_REQUEST& request_record) const
{
    return request(IOCTL_CORVFLT_SEND_BATCH_TO_STACK, &request_record,
                   batch_size(request_record), nullptr, 0);
}

bool CTarnwell::PostBatchToAdapter(const PACKET_BATCH_REQUEST& request_record) const
{
    return post(IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER, &request_record, batch_size(request_record));
}

bool CTarnwell::PostBatchToStack(const PACKET_BATCH_REQUEST& request_record) const
{
    return post(IOCTL_CORVFLT_SEND_BATCH_TO_STACK, &request_record, batch_size(request_record));
}

bool CTarnwell::SendPacketToAdapter(const PACKET_REQUEST& request_record) const
{
    return request(IOCTL_CORVFLT_SEND_TO_ADAPTER, &request_record, sizeof request_record,
                   nullptr, 0);
}

}  // namespace tarnwell
