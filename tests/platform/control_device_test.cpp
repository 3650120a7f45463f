// What every backend must do without a driver. Under Wine no driver can exist, so this is
// all the Windows build can check of its device backend.

#include "platform/control_device.h"

#include <gtest/gtest.h>

#include "platform/ntstatus_to_win32.h"

namespace {

TEST(platform_control_device, opening_the_absent_driver_fails_with_a_clear_error)
{
    auto result = platform::open_control_device("\\\\.\\CORVFLT");
    if (result.device)
        GTEST_SKIP() << "a corvflt driver is installed on this machine";
    EXPECT_TRUE(result.error == platform::error_file_not_found ||
                result.error == platform::error_path_not_found)
        << result.error;
}

TEST(platform_control_device, status_translation_matches_what_windows_reports)
{
    struct row {
        std::uint32_t status;
        std::uint32_t error;
    };
    const row rows[] = {
        {0x00000000u, platform::error_success},
        {0x00000001u, platform::error_success},             // other success values
        {0x40000000u, platform::error_success},             // informational
        {0x00000103u, platform::error_io_pending},          // never a completed request
        {0x80000005u, platform::error_more_data},           // warning: fails the call
        {0xC000000Du, platform::error_invalid_parameter},   // every malformed request
        {0xC000009Au, platform::error_no_system_resources}, // shared section lock failure
        {0xC000020Au, platform::error_dup_name},            // second shared-section owner
        {0xC00000BBu, platform::error_not_supported},       // NDIS OID not supported
        {0xC0000001u, platform::error_gen_failure},
        {0xC023002Au, platform::error_gen_failure},         // unknown NDIS status
        {0x80001234u, platform::error_gen_failure},         // unknown warning
    };
    for (const row& r : rows)
        EXPECT_EQ(platform::ntstatus_to_win32(r.status), r.error) << std::hex << r.status;
}

}  // namespace
