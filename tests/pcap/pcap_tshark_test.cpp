// Reads a capture written by pcap_file_storage with a real capture tool, so that format
// mistakes that a home-made parser would share with the writer still show up.

#include "pcap/pcap_file_storage.h"
#include "pcap_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string find_tshark()
{
    for (const char* candidate : {"/usr/bin/tshark", "/usr/local/bin/tshark"}) {
        if (std::filesystem::exists(candidate))
            return candidate;
    }
    return {};
}

std::vector<std::string> lines_of(const std::string& file)
{
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(pcap_tshark, capture_tool_reads_frames_lengths_addresses_and_times)
{
    const std::string tshark = find_tshark();
    if (tshark.empty())
        GTEST_SKIP() << "tshark is not installed (make test installs it); capture not checked by a real tool";

    pcap_test::scratch_dir dir;
    const auto capture = dir.file("gateway.pcap");
    const std::uint8_t client[4] = {10, 66, 0, 2};
    const std::uint8_t server[4] = {192, 0, 2, 7};
    const std::uint8_t external[4] = {203, 0, 113, 9};
    {
        auto storage = std::make_shared<pcap::pcap_file_storage>(capture);
        storage->write_record(pcap_test::udp_frame(60, client, server), {1'700'000'000, 0});
        storage->write_record(pcap_test::udp_frame(1514, external, server), {1'700'000'001, 500'000});
        auto lying = pcap_test::udp_frame(1514, server, client);
        lying.length = 4000;  // claims more than the buffer holds
        storage->write_record(lying, {1'700'000'002, 999'000});
        *storage << pcap_test::udp_frame(342, server, external);
    }

    const auto out = dir.file("tshark.out");
    const auto err = dir.file("tshark.err");
    // Running as root only adds a warning on stderr; reading a file needs no privileges.
    const std::string command = "'" + tshark + "' -n -r '" + capture +
                                "' -T fields -E separator=, -e frame.len -e frame.cap_len -e ip.src -e ip.dst"
                                " -e frame.time_epoch > '" + out + "' 2> '" + err + "'";
    const int status = std::system(command.c_str());
    std::ostringstream diagnostics;
    for (const auto& line : lines_of(err))
        diagnostics << line << '\n';
    ASSERT_EQ(status, 0) << diagnostics.str();

    const auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), 4u) << diagnostics.str();
    EXPECT_EQ(lines[0], "60,60,10.66.0.2,192.0.2.7,1700000000.000000000");
    EXPECT_EQ(lines[1], "1514,1514,203.0.113.9,192.0.2.7,1700000001.500000000");
    EXPECT_EQ(lines[2], "4000,1514,192.0.2.7,10.66.0.2,1700000002.999000000");
    EXPECT_EQ(lines[3].rfind("342,342,192.0.2.7,203.0.113.9,", 0), 0u) << lines[3];
}

}  // namespace
