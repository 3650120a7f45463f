#include "platform/host_facts.h"
#include "service/log_sink_testing.h"
#include "service/logging.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// One line as the sink writes it: local date and time to the second, one space, the text.
const std::regex line_pattern(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (.*)$)");

std::vector<std::string> read_lines(const fs::path& file)
{
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Gives each test a temporary application data folder and puts the sink back into console
// mode with the platform's folder afterwards, so tests do not depend on their order.
class service_write_log : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device random;
        root_ = fs::temp_directory_path() /
                ("corvane_log_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                 "_" + std::to_string(random()));
        fs::create_directories(root_);
    }

    void TearDown() override
    {
        set_log_run_mode_service(false);
        log_sink_testing::restart_with_platform_folder();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // Creates the two vendor folders the program expects to exist and returns the log path.
    fs::path prepare_log_folder()
    {
        const fs::path folder = root_ / "Quenmark" / "Corvane VPN Gateway";
        fs::create_directories(folder);
        return folder / "corvane-gateway.log";
    }

    fs::path root_;
};

TEST_F(service_write_log, console_line_is_timestamp_space_message)
{
    set_log_run_mode_service(false);
    const fs::path log = prepare_log_folder();
    log_sink_testing::restart_with_folder(root_.string());

    testing::internal::CaptureStdout();
    write_log("wintun_nat_gateway: started");
    write_log(nullptr);  // an absent message still yields a well-formed, empty line
    std::string output = testing::internal::GetCapturedStdout();

    std::erase(output, '\r');
    const std::regex two_lines(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d wintun_nat_gateway: started
\d{4}-\d\d-\d\d \d\d:\d\d:\d\d 
$)");
    EXPECT_TRUE(std::regex_match(output, two_lines)) << output;
    // A console process never touches the log file.
    EXPECT_FALSE(fs::exists(log));
}

TEST_F(service_write_log, service_start_empties_the_log_before_its_first_line)
{
    set_log_run_mode_service(true);
    const fs::path log = prepare_log_folder();

    log_sink_testing::restart_with_folder(root_.string());
    write_log("first run, line 1");
    write_log("first run, line 2");
    ASSERT_EQ(read_lines(log).size(), 2u);

    // The next start keeps the old log until it has a line of its own to write.
    log_sink_testing::restart_with_folder(root_.string());
    ASSERT_EQ(read_lines(log).size(), 2u);
    write_log("second run");

    const auto lines = read_lines(log);
    ASSERT_EQ(lines.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, line_pattern)) << lines[0];
    EXPECT_EQ(match[1], "second run");
}

TEST_F(service_write_log, missing_folder_disables_file_logging_for_the_process)
{
    set_log_run_mode_service(true);
    log_sink_testing::restart_with_folder(root_.string());

    write_log("nowhere to go");
    // The program must not create the vendor folders itself.
    EXPECT_FALSE(fs::exists(root_ / "Quenmark"));

    // Creating the folder later does not bring the file back in this run: the open is tried once.
    const fs::path log = prepare_log_folder();
    write_log("still nowhere");
    EXPECT_FALSE(fs::exists(log));
}

TEST_F(service_write_log, without_an_application_data_folder_the_log_is_in_the_current_directory)
{
    EXPECT_EQ(log_sink_testing::log_file_path(std::nullopt), "corvane-gateway.log");
    EXPECT_EQ(log_sink_testing::log_file_path(std::string()), "corvane-gateway.log");
    const std::string sep(1, platform::path_separator());
    EXPECT_EQ(log_sink_testing::log_file_path(std::string("D")),
              "D" + sep + "Quenmark" + sep + "Corvane VPN Gateway" + sep + "corvane-gateway.log");

    const fs::path previous = fs::current_path();
    fs::current_path(root_);
    set_log_run_mode_service(true);
    log_sink_testing::restart_with_folder(std::nullopt);
    write_log("fallback");
    fs::current_path(previous);

    const auto lines = read_lines(root_ / "corvane-gateway.log");
    ASSERT_EQ(lines.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, line_pattern)) << lines[0];
    EXPECT_EQ(match[1], "fallback");
}

TEST_F(service_write_log, lines_from_many_threads_never_interleave)
{
    set_log_run_mode_service(true);
    const fs::path log = prepare_log_folder();
    log_sink_testing::restart_with_folder(root_.string());

    constexpr int thread_count = 8;
    constexpr int lines_per_thread = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([t] {
            // Long lines make a torn write likely to show if lines were not written whole.
            const std::string padding(200 + 37 * t, static_cast<char>('a' + t));
            for (int i = 0; i < lines_per_thread; ++i) {
                const std::string text = "thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding;
                write_log(text.c_str());
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    const auto lines = read_lines(log);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(thread_count * lines_per_thread));
    const std::regex text_pattern(R"(^thread (\d+) line (\d+) ([a-z]+)$)");
    std::map<int, int> next_line;
    for (const auto& line : lines) {
        std::smatch stamped;
        ASSERT_TRUE(std::regex_match(line, stamped, line_pattern)) << line;
        const std::string text = stamped[1];
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(text, parts, text_pattern)) << line;
        const int t = std::stoi(parts[1]);
        const int i = std::stoi(parts[2]);
        ASSERT_EQ(parts[3].str(), std::string(200 + 37 * t, static_cast<char>('a' + t)));
        // Each thread's lines arrive whole and in the order that thread wrote them.
        ASSERT_EQ(i, next_line[t]);
        ++next_line[t];
    }
}

}  // namespace
