#include "platform/host_facts.h"

#include <gtest/gtest.h>

namespace {

TEST(platform_host_facts, app_data_folder_is_absolute_and_has_no_trailing_separator)
{
    auto folder = platform::common_app_data_folder();
    ASSERT_TRUE(folder.has_value());
    ASSERT_FALSE(folder->empty());
    EXPECT_NE(folder->back(), platform::path_separator());
    if (platform::path_separator() == '/')
        EXPECT_EQ(*folder, "/var/lib");
    else
        EXPECT_EQ((*folder)[1], ':');  // a drive-letter path such as C:\ProgramData
}

TEST(platform_host_facts, local_time_converts_a_known_instant)
{
    std::tm tm{};
    ASSERT_TRUE(platform::to_local_time(86400 * 365, tm));
    // Whatever the time zone, one year after the epoch is still 1970 or 1971.
    EXPECT_TRUE(tm.tm_year == 70 || tm.tm_year == 71);
}

}  // namespace
