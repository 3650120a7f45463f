// Blocks whose caller ranges touch travel as one range (a batch's records are one array);
// the count of complete leading blocks and the bytes that land must be exactly those of
// block-by-block copies, also when a joined range runs into unmapped memory.
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

TEST(driver_linux_caller_ranges, joined_ranges_move_exactly_the_complete_leading_blocks)
{
    holed_memory m;
    ASSERT_NE(m.base, nullptr);
    const std::size_t p = m.page;
    struct row {
        const char* what;
        std::uint64_t addresses[4];
        std::uint32_t lengths[4];
        std::uint32_t expected;
    };
    const row rows[] = {
        {"one run, all mapped", {m.at(2 * p), m.at(2 * p + 64), m.at(2 * p + 128), m.at(2 * p + 192)},
         {64, 64, 64, 64}, 4},
        {"one run into the hole", {m.at(p - 128), m.at(p - 64), m.at(p), m.at(p + 64)}, {64, 64, 64, 64}, 2},
        {"a block of the run straddles the hole", {m.at(p - 160), m.at(p - 96), m.at(p - 32), m.at(p + 32)},
         {64, 64, 64, 64}, 2},
        {"gaps between records", {m.at(0), m.at(100), m.at(200), m.at(p + 8)}, {60, 60, 60, 60}, 3},
        {"empty blocks inside a run", {m.at(2 * p), 0, m.at(2 * p + 64), m.at(2 * p + 64)}, {64, 0, 0, 64}, 4},
        {"a run after the hole is not reached", {m.at(p - 64), m.at(p + 16), m.at(2 * p), m.at(2 * p + 64)},
         {64, 64, 64, 64}, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<std::uint8_t> source(4 * 64);
        for (std::size_t i = 0; i < source.size(); ++i)
            source[i] = static_cast<std::uint8_t>(i * 7 + 1);
        std::memset(m.base, 0, p);
        std::memset(m.base + 2 * p, 0, p);
        user_block writes[4];
        for (int i = 0; i < 4; ++i) {
            writes[i].address = r.addresses[i];
            writes[i].source = source.data() + 64 * i;
            writes[i].length = r.lengths[i];
        }
        EXPECT_EQ(write_caller_blocks(getpid(), writes, 4), r.expected);
        for (std::uint32_t i = 0; i < r.expected; ++i) {
            if (r.lengths[i] == 0)
                continue;
            const auto* landed = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(r.addresses[i]));
            EXPECT_EQ(std::memcmp(landed, source.data() + 64 * i, r.lengths[i]), 0) << "block " << i;
        }

        std::vector<std::uint8_t> back(4 * 64, 0xEE);
        user_block reads[4];
        for (int i = 0; i < 4; ++i) {
            reads[i].address = r.addresses[i];
            reads[i].destination = back.data() + 64 * i;
            reads[i].length = r.lengths[i];
        }
        EXPECT_EQ(read_caller_blocks(getpid(), reads, 4), r.expected);
        for (std::uint32_t i = 0; i < r.expected; ++i) {
            if (r.lengths[i] == 0)
                continue;
            const auto* there = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(r.addresses[i]));
            EXPECT_EQ(std::memcmp(back.data() + 64 * i, there, r.lengths[i]), 0) << "block " << i;
        }
    }
}

}  // namespace
}  // namespace corvflt::linux_host
