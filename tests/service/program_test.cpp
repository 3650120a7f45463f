// The real program: usage, the single-instance guard, command dispatch and install option
// errors, byte for byte and with their exit codes. These never reach the service manager.

#include "expected_output.h"
#include "platform/instance_lock.h"
#include "program_runner.h"

#include <gtest/gtest.h>

namespace {

class service_program : public ::testing::Test {
protected:
    void SetUp() override { set_test_environment("CORVANE_RUN_DIR", make_test_directory()); }
};

}  // namespace

TEST_F(service_program, usage_without_arguments)
{
    const auto result = run_service_program({});
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.output, expected_usage);
    EXPECT_EQ(result.exit_code, 0);
}

TEST_F(service_program, second_instance_whatever_the_arguments)
{
    platform::instance_lock first("Global\\CorvaneService");
    ASSERT_EQ(first.state(), platform::instance_lock_state::acquired);
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"install", "-start-type", "9"}, {"uninstall"}, {"run"}, {"bogus"}}) {
        const auto result = run_service_program(arguments);
        EXPECT_EQ(result.output, expected_running_already) << arguments.size();
        EXPECT_EQ(result.exit_code, 0);
    }
}

TEST_F(service_program, commands_and_install_option_errors)
{
    struct row {
        std::vector<std::string> arguments;
        std::string output;
        int exit_code;
    };
    const std::string bad_type = "Couldn't install service: service start type must be a number between 2 and 4";
    const row rows[] = {
        {{"install", "-start-type", "5"}, bad_type, 1},
        {{"INSTALL", "-start-type", "22"}, bad_type, 1},
        {{"install", "-foo"}, "Couldn't install service: unknown parameter: -foo", 1},
        {{"Install", "word", "-mode", "nat", "-foo", "x"}, "Couldn't install service: unknown parameter: -foo", 1},
        {{"install", "-mode", "nat", "-interface"}, "Couldn't install service: no value given for parameter: -interface",
         1},
        {{"bogus"}, "Unknown parameter: bogus\n", 0},
        {{"caf\xC3\xA9"}, "Unknown parameter: caf\xC3\xA9\n", 0},
        // "Run" is the console command; with the interface value missing it starts no worker
        // and, at level 0, says nothing.
        {{"Run", "-mode", "nat", "-interface"}, "", 0},
    };
    for (const auto& r : rows) {
        const auto result = run_service_program(r.arguments);
        EXPECT_EQ(result.output, r.output) << r.arguments[0];
        EXPECT_EQ(result.exit_code, r.exit_code) << r.arguments[0];
    }
}

TEST_F(service_program, service_outside_the_service_manager)
{
    // 1063: the process was not started by the service manager; the exit code carries it.
    const auto result = run_service_program({"service"}, {{"NOTIFY_SOCKET", ""}});
    EXPECT_EQ(result.output, "Service failed to run with error code: 0x00000427\n");
    EXPECT_EQ(result.exit_code & 0xFF, 1063 & 0xFF);
}
