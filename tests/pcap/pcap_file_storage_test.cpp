#include "pcap/pcap_file_storage.h"
#include "pcap_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

using pcap_test::le32;
using pcap_test::parse_records;
using pcap_test::read_file;
using pcap_test::scratch_dir;

constexpr std::uint8_t client[4] = {10, 66, 0, 2};
constexpr std::uint8_t server[4] = {192, 0, 2, 7};

TEST(pcap_file_storage, global_header_is_little_endian_libpcap_ethernet)
{
    scratch_dir dir;
    const auto name = dir.file("header.pcap");
    { auto storage = std::make_shared<pcap::pcap_file_storage>(name); }
    const auto bytes = read_file(name);
    const std::vector<std::uint8_t> expected = {
        0xD4, 0xC3, 0xB2, 0xA1,  // magic: microsecond timestamps, written little-endian
        0x02, 0x00, 0x04, 0x00,  // version 2.4
        0, 0, 0, 0,              // time zone
        0, 0, 0, 0,              // accuracy
        0xEA, 0x05, 0, 0,        // snapshot length 1514
        0x01, 0, 0, 0,           // Ethernet
    };
    EXPECT_EQ(bytes, expected);
}

TEST(pcap_file_storage, recreating_an_existing_capture_leaves_only_the_new_header)
{
    scratch_dir dir;
    const auto name = dir.file("again.pcap");
    {
        auto storage = std::make_shared<pcap::pcap_file_storage>(name);
        for (int i = 0; i < 5; ++i)
            *storage << pcap_test::udp_frame(600, client, server);
    }
    ASSERT_GT(read_file(name).size(), 24u);
    { auto storage = std::make_shared<pcap::pcap_file_storage>(name); }
    EXPECT_EQ(read_file(name).size(), 24u);
}

TEST(pcap_file_storage, record_lengths_follow_the_buffer_and_never_read_past_it)
{
    scratch_dir dir;
    const auto name = dir.file("lengths.pcap");
    struct row {
        std::uint32_t stated;
        std::uint32_t captured;
        std::uint32_t original;
    };
    // 60: a minimum Ethernet frame (76-byte record). 0: an empty buffer. 1514: a full frame.
    // Larger stated lengths: the buffer lies; only its 1514 bytes may be captured.
    const row rows[] = {{60, 60, 60}, {0, 0, 0}, {1514, 1514, 1514}, {1515, 1514, 1515}, {0xFFFFFFFF, 1514, 0xFFFFFFFF}};
    {
        auto storage = std::make_shared<pcap::pcap_file_storage>(name);
        for (const auto& r : rows) {
            auto buffer = pcap_test::udp_frame(60, client, server, static_cast<std::uint8_t>(r.captured));
            buffer.length = r.stated;
            *storage << buffer;
        }
    }
    const auto bytes = read_file(name);
    std::size_t expected_size = 24;
    for (const auto& r : rows)
        expected_size += 16 + r.captured;
    ASSERT_EQ(bytes.size(), expected_size);
    EXPECT_EQ(le32(bytes, 24 + 8), 60u);
    EXPECT_EQ(le32(bytes, 24 + 12), 60u);

    const auto records = parse_records(bytes);
    ASSERT_EQ(records.size(), std::size(rows));
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(rows[i].stated);
        EXPECT_EQ(records[i].captured_length, rows[i].captured);
        EXPECT_EQ(records[i].original_length, rows[i].original);
        EXPECT_EQ(records[i].microseconds % 1000, 0u);
    }
    // The frame bytes are the buffer's own, starting with the Ethernet header.
    const auto reference = pcap_test::udp_frame(60, client, server, 60);
    EXPECT_EQ(0, std::memcmp(records[0].data.data(), reference.frame, 60));
}

TEST(pcap_file_storage, records_are_stamped_from_the_wall_clock_and_chain)
{
    scratch_dir dir;
    const auto name = dir.file("clock.pcap");
    const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    {
        auto storage = std::make_shared<pcap::pcap_file_storage>(name);
        const auto frame = pcap_test::udp_frame(100, client, server);
        *storage << frame << frame;
    }
    const auto records = parse_records(read_file(name));
    ASSERT_EQ(records.size(), 2u);
    // The capture base may come from an earlier record of this process; elapsed monotonic
    // time keeps the stamp within a moment of the wall clock either way.
    for (const auto& r : records) {
        EXPECT_NEAR(static_cast<double>(r.seconds), static_cast<double>(before), 2.0);
        EXPECT_EQ(r.microseconds % 1000, 0u);
    }
    const auto order = [](const pcap_test::parsed_record& r) {
        return static_cast<std::uint64_t>(r.seconds) * 1'000'000 + r.microseconds;
    };
    EXPECT_LE(order(records[0]), order(records[1]));
}

TEST(pcap_file_storage, unopenable_file_fails_silently)
{
    scratch_dir dir;
    const auto name = dir.file("missing-folder/capture.pcap");
    auto storage = std::make_shared<pcap::pcap_file_storage>(name);
    EXPECT_FALSE(storage->is_open());
    *storage << pcap_test::udp_frame(60, client, server) << pcap_test::udp_frame(60, client, server);
    storage.reset();
    EXPECT_FALSE(std::filesystem::exists(name));
}

TEST(pcap_file_storage, concurrent_records_stay_whole)
{
    scratch_dir dir;
    const auto first_name = dir.file("concurrent-a.pcap");
    const auto second_name = dir.file("concurrent-b.pcap");
    constexpr int threads_per_file = 3;
    constexpr int records_per_thread = 400;
    {
        auto first = std::make_shared<pcap::pcap_file_storage>(first_name);
        auto second = std::make_shared<pcap::pcap_file_storage>(second_name);
        std::vector<std::thread> threads;
        for (int t = 0; t < 2 * threads_per_file; ++t) {
            auto storage = (t % 2 == 0) ? first : second;
            threads.emplace_back([storage, t] {
                for (int i = 0; i < records_per_thread; ++i) {
                    // Each thread fills its frames with its own byte and varies the length, so a
                    // torn or interleaved record shows up as a wrong byte or a bad length.
                    const auto length = static_cast<std::uint32_t>(43 + (i * 37 + t * 101) % 1400);
                    auto buffer = pcap_test::udp_frame(length, client, server);
                    std::memset(buffer.frame + 42, t + 1, length - 42);
                    *storage << buffer;
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
    }
    for (const auto& name : {first_name, second_name}) {
        const auto records = parse_records(read_file(name));
        ASSERT_EQ(records.size(), static_cast<std::size_t>(threads_per_file * records_per_thread));
        std::map<int, int> per_thread;
        for (const auto& r : records) {
            ASSERT_EQ(r.captured_length, r.original_length);
            ASSERT_GE(r.data.size(), 43u);
            const int owner = r.data[42];
            for (std::size_t i = 42; i < r.data.size(); ++i)
                ASSERT_EQ(r.data[i], owner) << "record mixes frames of two threads";
            ++per_thread[owner];
        }
        ASSERT_EQ(per_thread.size(), static_cast<std::size_t>(threads_per_file));
        for (const auto& [owner, count] : per_thread)
            EXPECT_EQ(count, records_per_thread) << "thread " << owner - 1;
    }
}

}  // namespace
