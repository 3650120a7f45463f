#pragma once
// Test side of the capture format: builds frames and reads capture files back with a parser
// of its own, so the writer is checked against the file format rather than against itself.

#include "tarnwell/control_interface.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace pcap_test {

// A fresh directory under the system temporary folder, removed with the object.
class scratch_dir {
public:
    scratch_dir()
    {
        std::random_device random;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("corvane_pcap_" + std::string(info->name()) + "_" + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~scratch_dir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::vector<std::uint8_t> read_file(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::uint32_t le32(const std::vector<std::uint8_t>& bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

struct parsed_record {
    std::uint32_t seconds;
    std::uint32_t microseconds;
    std::uint32_t captured_length;
    std::uint32_t original_length;
    std::vector<std::uint8_t> data;
};

// Records following the 24-byte global header; fails the test on a torn or overlong record.
inline std::vector<parsed_record> parse_records(const std::vector<std::uint8_t>& file)
{
    std::vector<parsed_record> records;
    std::size_t at = 24;
    while (at < file.size()) {
        if (file.size() - at < 16) {
            ADD_FAILURE() << "torn record header at offset " << at;
            break;
        }
        parsed_record r{le32(file, at), le32(file, at + 4), le32(file, at + 8), le32(file, at + 12), {}};
        at += 16;
        if (r.captured_length > 1514 || file.size() - at < r.captured_length) {
            ADD_FAILURE() << "bad captured length " << r.captured_length << " at offset " << at;
            break;
        }
        r.data.assign(file.begin() + static_cast<std::ptrdiff_t>(at),
                      file.begin() + static_cast<std::ptrdiff_t>(at + r.captured_length));
        at += r.captured_length;
        records.push_back(std::move(r));
    }
    return records;
}

// An Ethernet + IPv4 + UDP frame of exactly `length` bytes (at least 42) between two hosts.
inline tarnwell::INTERMEDIATE_BUFFER udp_frame(std::uint32_t length, const std::uint8_t (&src)[4],
                                               const std::uint8_t (&dst)[4], std::uint8_t fill = 0xAB)
{
    tarnwell::INTERMEDIATE_BUFFER buffer{};
    buffer.length = length;
    std::memset(buffer.frame, fill, sizeof(buffer.frame));
    std::uint8_t* f = buffer.frame;
    const std::uint8_t dst_mac[6] = {0x02, 0, 0, 0, 0, 0x02};
    const std::uint8_t src_mac[6] = {0x02, 0, 0, 0, 0, 0x01};
    std::memcpy(f, dst_mac, 6);
    std::memcpy(f + 6, src_mac, 6);
    f[12] = 0x08;
    f[13] = 0x00;
    std::uint8_t* ip = f + 14;
    const std::uint32_t ip_length = length - 14;
    ip[0] = 0x45;
    ip[1] = 0;
    ip[2] = static_cast<std::uint8_t>(ip_length >> 8);
    ip[3] = static_cast<std::uint8_t>(ip_length);
    ip[4] = ip[5] = ip[6] = ip[7] = 0;
    ip[8] = 64;
    ip[9] = 17;
    ip[10] = ip[11] = 0;
    std::memcpy(ip + 12, src, 4);
    std::memcpy(ip + 16, dst, 4);
    std::uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += static_cast<std::uint32_t>(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = static_cast<std::uint8_t>(~sum >> 8);
    ip[11] = static_cast<std::uint8_t>(~sum);
    std::uint8_t* udp = ip + 20;
    const std::uint32_t udp_length = ip_length - 20;
    udp[0] = 0x30;  // source port 12345
    udp[1] = 0x39;
    udp[2] = 0x00;  // destination port 9 (discard)
    udp[3] = 0x09;
    udp[4] = static_cast<std::uint8_t>(udp_length >> 8);
    udp[5] = static_cast<std::uint8_t>(udp_length);
    udp[6] = udp[7] = 0;  // no checksum
    return buffer;
}

}  // namespace pcap_test
