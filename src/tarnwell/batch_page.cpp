#include "tarnwell/batch_page.h"

#include <new>

namespace tarnwell {

batch_page::batch_page()
    : page_(static_cast<std::uint8_t*>(
          ::operator new(page_size, std::align_val_t{page_size})))
{
    std::memset(page_, 0, page_size);
}

batch_page::~batch_page()
{
    ::operator delete(page_, std::align_val_t{page_size});
}

void batch_page::prepare_read(std::uint64_t handle, INTERMEDIATE_BUFFER* buffers,
                              std::uint32_t count)
{
    prepare_empty(handle);
    const std::uint32_t n = count < MAXIMUM_PACKET_BLOCK ? count : MAXIMUM_PACKET_BLOCK;
    for (std::uint32_t i = 0; i < n; ++i)
        append(&buffers[i]);
}

void batch_page::prepare_empty(std::uint64_t handle)
{
    std::memset(page_, 0, page_size);
    set_adapter(handle);
}

}  // namespace tarnwell
