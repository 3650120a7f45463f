#include "proxy/buffer_pool.h"

#include <new>

namespace proxy {

buffer_pool::buffer_pool()
{
    for (auto& list : idle_)
        list.reserve(max_idle_per_class);
}

int buffer_pool::class_of(std::uint32_t size)
{
    for (std::size_t i = 0; i < class_sizes.size(); ++i)
        if (size <= class_sizes[i])
            return static_cast<int>(i);
    return -1;
}

std::unique_ptr<pooled_buffer> buffer_pool::acquire(std::uint32_t size)
{
    const int c = class_of(size);
    if (c < 0)
        return nullptr;
    std::unique_ptr<pooled_buffer> b;
    {
        std::lock_guard lock(mutex_);
        auto& list = idle_[static_cast<std::size_t>(c)];
        if (!list.empty()) {
            b = std::move(list.back());
            list.pop_back();
        }
    }
    if (!b) {
        b.reset(new (std::nothrow) pooled_buffer);
        if (!b)
            return nullptr;
        b->capacity = class_sizes[static_cast<std::size_t>(c)];
        b->storage.reset(new (std::nothrow) char[b->capacity]);
        if (!b->storage)
            return nullptr;
    }
    b->buffer = {size, b->storage.get()};
    return b;
}

void buffer_pool::release(std::unique_ptr<pooled_buffer> buffer)
{
    if (!buffer)
        return;
    const int c = class_of(buffer->capacity);
    if (c < 0 || class_sizes[static_cast<std::size_t>(c)] != buffer->capacity)
        return;  // not one of ours: freed here
    std::lock_guard lock(mutex_);
    auto& list = idle_[static_cast<std::size_t>(c)];
    if (list.size() < max_idle_per_class)
        list.push_back(std::move(buffer));
}

std::size_t buffer_pool::idle_count(std::uint32_t size)
{
    const int c = class_of(size);
    if (c < 0)
        return 0;
    std::lock_guard lock(mutex_);
    return idle_[static_cast<std::size_t>(c)].size();
}

}  // namespace proxy
