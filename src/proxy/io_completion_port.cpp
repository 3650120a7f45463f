#include "proxy/io_completion_port.h"

#include <condition_variable>
#include <stdexcept>

namespace proxy {

// One registered handler. `inside` counts the workers between deciding to run it and having
// returned from it; `released` is set once by release(). A worker raises `inside` before it
// reads `released`, and release() sets `released` before it reads `inside` (both sequentially
// consistent), so a release either sees a run that is about to start, and waits for it, or
// that run sees the release and skips the handler. The wait is a condition variable, not
// std::atomic::wait: mingw-w64's libstdc++ 12 emulates the latter with a condition variable
// whose notify can be lost, and a release then waits for ever.
struct completion_registration::entry {
    entry(io_completion_port* p, completion_handler h) : port(p), handler(std::move(h)) {}
    io_completion_port* port;
    completion_handler handler;
    std::atomic<bool> released{false};
    std::atomic<std::uint32_t> inside{0};
    std::mutex mutex;  // only a release and the runs that end during it take it
    std::condition_variable left;
};

namespace {

std::uint32_t hardware_concurrency()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1u : static_cast<std::uint32_t>(n);
}

// The registration whose handler this thread is running, so that a release from inside it
// does not wait for itself.
thread_local const completion_registration::entry* running_here = nullptr;

}  // namespace

void completion_registration::release()
{
    entry* e = std::exchange(entry_, nullptr);
    if (!e)
        return;
    {
        std::unique_lock lock(e->port->lock_);
        e->port->keys_.erase(reinterpret_cast<std::uintptr_t>(e));
    }
    e->released.store(true);
    const std::uint32_t self = running_here == e ? 1u : 0u;
    std::unique_lock lock(e->mutex);
    e->left.wait(lock, [e, self] { return e->inside.load() <= self; });
}

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

completion_registration io_completion_port::associate_device(platform::socket_handle handle,
                                                              completion_handler handler)
{
    if (!handler)
        return {};
    auto owned = std::make_unique<completion_registration::entry>(this, std::move(handler));
    const auto key = reinterpret_cast<std::uintptr_t>(owned.get());
    if (!port_.associate(handle, key))
        return {};
    std::unique_lock lock(lock_);
    keys_.insert(key);
    entries_.push_back(std::move(owned));
    return completion_registration(entries_.back().get());
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

void io_completion_port::dispatch(const platform::completion& c)
{
    auto* e = reinterpret_cast<completion_registration::entry*>(c.key);
    e->inside.fetch_add(1);
    if (!e->released.load()) {
        running_here = e;
        e->handler(c.bytes, c.ov, c.success ? 1 : 0);
        running_here = nullptr;
    }
    // Only a release waits on `inside`: no wake-up call on the ordinary path.
    e->inside.fetch_sub(1);
    if (e->released.load()) {
        std::lock_guard lock(e->mutex);
        e->left.notify_all();
    }
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
        // Key 0 reaches nobody (stop's wake-up packets).
        if (c.key != 0)
            dispatch(c);
    } while (active_.load());
}

}  // namespace proxy
