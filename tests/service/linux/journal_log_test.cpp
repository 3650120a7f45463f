// The log sink's copy of each line to the system journal: made only by the service, and only
// when standard error is the very stream systemd named in JOURNAL_STREAM.

#include "service/log_sink_testing.h"
#include "service/logging.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string stream_id(const fs::path& file)
{
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0)
        return {};
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::string read_file(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(service_journal_log, lines_reach_standard_error_only_when_it_is_the_named_journal_stream)
{
    const fs::path root = fs::temp_directory_path() / ("corvane_journal_" + std::to_string(std::random_device{}()));
    fs::create_directories(root);
    const fs::path other = root / "other";
    std::ofstream(other).close();

    struct row {
        const char* name;
        bool service;
        enum { this_stream, other_stream, unset, malformed } variable;
        std::string expected;
    };
    // Text that looks like a level of its own, on any line of the message, still gets the
    // info level in front.
    const row rows[] = {
        {"service, stream named", true, row::this_stream, "<6><3>message\n<6><2>second line\n"},
        {"service, another stream named (inherited)", true, row::other_stream, ""},
        {"service, no variable", true, row::unset, ""},
        {"service, malformed variable", true, row::malformed, ""},
        {"console, stream named", false, row::this_stream, ""},
    };
    const int saved_stderr = ::dup(STDERR_FILENO);
    ASSERT_GE(saved_stderr, 0);
    int index = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const fs::path captured = root / ("stderr" + std::to_string(index++));
        const int fd = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        switch (r.variable) {
        case row::this_stream: ::setenv("JOURNAL_STREAM", stream_id(captured).c_str(), 1); break;
        case row::other_stream: ::setenv("JOURNAL_STREAM", stream_id(other).c_str(), 1); break;
        case row::unset: ::unsetenv("JOURNAL_STREAM"); break;
        case row::malformed: ::setenv("JOURNAL_STREAM", (stream_id(captured) + "x").c_str(), 1); break;
        }
        set_log_run_mode_service(r.service);
        // No vendor folder under root: the file stays off, the journal copy must not care.
        log_sink_testing::restart_with_folder(root.string());
        testing::internal::CaptureStdout();
        ::dup2(fd, STDERR_FILENO);
        write_log("<3>message\n<2>second line");
        ::dup2(saved_stderr, STDERR_FILENO);
        testing::internal::GetCapturedStdout();
        ::close(fd);
        EXPECT_EQ(read_file(captured), r.expected);
    }
    ::close(saved_stderr);
    ::unsetenv("JOURNAL_STREAM");
    set_log_run_mode_service(false);
    log_sink_testing::restart_with_platform_folder();
    std::error_code ignored;
    fs::remove_all(root, ignored);
}
