// The indexes' open-addressing map against std::unordered_map: long random runs of inserts,
// removals and lookups with hashes that pile keys onto a few neighbouring slots at the end of
// the array, so that probe runs wrap around and every removal has to shift a run back.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_map>

#include "nat/open_hash_map.h"

namespace {

// Homes in the last three slots of any capacity the test reaches; values below 2^15 pass the
// map's own mixing unchanged.
struct clustering_hash {
    std::size_t operator()(std::uint32_t key) const noexcept { return 13 + key % 3; }
};
struct spreading_hash {
    std::size_t operator()(std::uint32_t key) const noexcept { return key * 0x9E3779B97F4A7C15ull; }
};

template <class Hash>
void run_against_unordered_map(std::uint32_t key_range, int steps, unsigned seed)
{
    std::mt19937 rng(seed);
    nat::open_hash_map<std::uint32_t, std::uint64_t, Hash> map;
    std::unordered_map<std::uint32_t, std::uint64_t> model;
    for (int step = 0; step < steps; ++step) {
        const std::uint32_t key = rng() % key_range;
        const unsigned op = rng() % 100;
        if (op < 40) {
            const bool fresh = model.emplace(key, step).second;
            ASSERT_EQ(map.insert(key, static_cast<std::uint64_t>(step)), fresh) << step;
        } else if (op < 50) {
            ++model[key];
            ++map.find_or_insert(key);
        } else if (op < 85) {
            ASSERT_EQ(map.erase(key), model.erase(key) == 1) << step;
        } else if (op < 99) {
            const std::uint64_t* found = map.find(key);
            const auto it = model.find(key);
            ASSERT_EQ(found != nullptr, it != model.end()) << step;
            if (found != nullptr) {
                ASSERT_EQ(*found, it->second) << step;
            }
        } else {
            map.clear();
            model.clear();
        }
        ASSERT_EQ(map.size(), model.size()) << step;
        if (step % 97 == 0) {
            // Every key is reachable from its home slot, and nothing else is in the map.
            for (const auto& [k, v] : model) {
                const std::uint64_t* found = map.find(k);
                ASSERT_TRUE(found != nullptr && *found == v) << "step " << step << " key " << k;
            }
            std::size_t seen = 0;
            map.for_each([&](std::uint32_t k, std::uint64_t v) {
                ++seen;
                EXPECT_EQ(model.at(k), v);
            });
            ASSERT_EQ(seen, model.size());
        }
    }
}

TEST(nat_open_hash_map, agrees_with_unordered_map_when_keys_pile_up_and_wrap_around)
{
    for (const unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        run_against_unordered_map<clustering_hash>(40, 20000, seed);   // small: stays near capacity 16-64
        run_against_unordered_map<clustering_hash>(600, 20000, seed);  // long runs across growth
        run_against_unordered_map<spreading_hash>(5000, 60000, seed);
    }
}

}  // namespace
