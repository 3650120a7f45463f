// The Win32 service backend through the real program, as far as Wine's service manager
// goes: install, a second install, uninstall.

#include "program_runner.h"

#include <chrono>
#include <thread>
#include <windows.h>

#include <gtest/gtest.h>

namespace {

bool service_exists()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return false;
    SC_HANDLE service = OpenServiceW(manager, L"corvane-service", SERVICE_QUERY_CONFIG);
    const bool exists = service != nullptr;
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exists;
}

// A deleted service can stay visible for a moment.
bool service_gone()
{
    for (int i = 0; i < 50; ++i) {
        if (!service_exists())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

TEST(service_scm, install_twice_then_uninstall)
{
    // Leftovers of an earlier, interrupted run would make the first install fail.
    if (service_exists())
        run_service_program({"uninstall"});
    ASSERT_TRUE(service_gone());

    const auto first = run_service_program({"install", "-start-type", "3", "-mode", "nat", "-interface", "wg0"});
    EXPECT_EQ(first.output, "corvane-service is installed.\n");
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_TRUE(service_exists());

    const auto second = run_service_program({"install"});
    EXPECT_EQ(second.output, "CreateService failed with error code: 0x00000431\n");

    const auto removed = run_service_program({"uninstall"});
    EXPECT_EQ(removed.output, "corvane-service is removed.\n");
    EXPECT_TRUE(service_gone());
}
