// Vectored copies into and out of a caller's memory (process_vm_readv/writev on our own
// pid): the count of complete leading blocks is what the batch requests rely on to keep
// packets they could not deliver.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "driver/linux/caller_access.h"
#include "support/holed_memory.h"

namespace corvflt::linux_host {
namespace {

using corvane_test::holed_memory;

TEST(driver_caller_blocks, copies_stop_at_the_first_block_that_cannot_be_reached)
{
    holed_memory m;
    ASSERT_NE(m.base, nullptr);
    const pid_t self = getpid();
    std::vector<std::uint8_t> source(64, 0x5A);
    std::vector<std::uint8_t> landing(4 * 64, 0);

    struct row {
        const char* what;
        std::uint64_t addresses[4];
        std::uint32_t expected;
    };
    const row rows[] = {
        {"all mapped", {m.at(0), m.at(64), m.at(2 * m.page), m.at(2 * m.page + 64)}, 4},
        {"hole third", {m.at(0), m.at(64), m.at(m.page + 8), m.at(2 * m.page)}, 2},
        {"runs into the hole", {m.at(0), m.at(m.page - 32), m.at(2 * m.page), m.at(2 * m.page + 64)}, 1},
        {"null second", {m.at(0), 0, m.at(2 * m.page), m.at(2 * m.page + 64)}, 1},
        {"wraps first", {~std::uint64_t{0} - 8, m.at(0), m.at(64), m.at(128)}, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        user_block writes[4];
        user_block reads[4];
        for (int i = 0; i < 4; ++i) {
            writes[i].address = reads[i].address = r.addresses[i];
            writes[i].source = source.data();
            reads[i].destination = landing.data() + 64 * i;
            writes[i].length = reads[i].length = 64;
        }
        EXPECT_EQ(write_caller_blocks(self, writes, 4), r.expected);
        EXPECT_EQ(read_caller_blocks(self, reads, 4), r.expected);
        for (std::uint32_t i = 0; i < r.expected; ++i)
            EXPECT_EQ(std::memcmp(landing.data() + 64 * i, source.data(), 64), 0) << i;
    }
}

// More blocks than one system call takes: every one arrives, in place.
TEST(driver_caller_blocks, long_vectors_are_split_across_calls)
{
    constexpr std::uint32_t n = 700;
    std::vector<std::uint32_t> source(n), target(n, 0), back(n, 0);
    std::vector<user_block> writes(n), reads(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        source[i] = i * 7 + 1;
        writes[i].address = reads[i].address = reinterpret_cast<std::uintptr_t>(&target[i]);
        writes[i].source = &source[i];
        reads[i].destination = &back[i];
        writes[i].length = reads[i].length = 4;
    }
    EXPECT_EQ(write_caller_blocks(getpid(), writes.data(), n), n);
    EXPECT_EQ(target, source);
    EXPECT_EQ(read_caller_blocks(getpid(), reads.data(), n), n);
    EXPECT_EQ(back, source);
}

}  // namespace
}  // namespace corvflt::linux_host
