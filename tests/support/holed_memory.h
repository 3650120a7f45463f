#pragma once
// Three zeroed pages of this process with the middle one unmapped: caller-memory copies that
// run into it must stop at the hole. Linux only (mmap); base is null when mapping failed.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace corvane_test {

struct holed_memory {
    holed_memory()
    {
        page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
        if (base) {
            std::memset(base, 0, 3 * page);
            munmap(base + page, page);
        }
    }
    ~holed_memory()
    {
        if (base) {
            munmap(base, page);
            munmap(base + 2 * page, page);
        }
    }
    holed_memory(const holed_memory&) = delete;
    holed_memory& operator=(const holed_memory&) = delete;
    std::uint64_t at(std::size_t offset) const { return reinterpret_cast<std::uintptr_t>(base + offset); }
    std::size_t page = 0;
    std::uint8_t* base = nullptr;
};

}  // namespace corvane_test
