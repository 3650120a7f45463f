#include "proxy/io_completion_port.h"

#include <stdexcept>

namespace proxy {
namespace {

std::uint32_t hardware_concurrency()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1u : static_cast<std::uint32_t>(n);
}

}  // namespace

io_completion_port::io_completion_port() : io_completion_port(hardware_concurrency()) {}

io_completion_port::io_completion_port(std::uint32_t concurrency)
    : concurrency_(concurrency == 0 ? 1u : concurrency)
{
    if (!port_.valid())
        throw std::runtime_error("io_completion_port: failed to create the completion port.");
}

io_completion_port::~io_completion_port()
{
    if (active_.load())
        stop_thread_pool();
}

std::pair<bool, std::uintptr_t> io_completion_port::associate_device(platform::socket_handle handle,
                                                                     completion_handler handler)
{
    if (!handler)
        return {false, 0};
    auto owned = std::make_unique<completion_handler>(std::move(handler));
    const auto key = reinterpret_cast<std::uintptr_t>(owned.get());
    if (!port_.associate(handle, key))
        return {false, 0};
    std::unique_lock lock(lock_);
    keys_.insert(key);
    handlers_.push_back(std::move(owned));
    return {true, key};
}

bool io_completion_port::associate_socket(platform::socket_handle handle, std::uintptr_t key)
{
    std::shared_lock lock(lock_);
    if (keys_.find(key) == keys_.end())
        return false;
    return port_.associate(handle, key);
}

void io_completion_port::start_thread_pool()
{
    bool expected = false;
    if (!active_.compare_exchange_strong(expected, true))
        return;
    const std::size_t count = 2 * static_cast<std::size_t>(concurrency_);
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        threads_.emplace_back([this] { worker_thread(); });
}

void io_completion_port::stop_thread_pool()
{
    bool expected = true;
    if (!active_.compare_exchange_strong(expected, false))
        return;
    for (std::size_t i = 0; i < threads_.size(); ++i)
        port_.post(0, 0, &wake_up_);
    for (auto& t : threads_) {
        if (t.joinable())
            t.join();
    }
    threads_.clear();
}

bool io_completion_port::post_completion(std::uint32_t bytes, std::uintptr_t key,
                                         platform::overlapped* ov)
{
    return port_.post(bytes, key, ov);
}

void io_completion_port::worker_thread()
{
    do {
        const platform::completion c = port_.dequeue(platform::wait_forever);
        if (!active_.load())
            break;
        // Nothing dequeued with an infinite wait: the port itself failed; waiting again
        // would spin.
        if (!c.dequeued)
            break;
        if (c.key != 0) {
            auto* handler = reinterpret_cast<completion_handler*>(c.key);
            if (*handler)
                (*handler)(c.bytes, c.ov, c.success ? 1 : 0);
        }
    } while (active_.load());
}

}  // namespace proxy
