#include "platform/host_facts.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::optional<std::string> common_app_data_folder()
{
    const char* overridden = std::getenv("CORVANE_APP_DATA_DIR");
    if (overridden != nullptr && *overridden != '\0')
        return std::string(overridden);
    return std::string("/var/lib");
}

bool standard_error_is_system_journal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char rest = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) != 2)
        return false;
    struct stat info {};
    if (::fstat(STDERR_FILENO, &info) != 0)
        return false;
    return static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

char path_separator()
{
    return '/';
}

bool to_local_time(std::time_t t, std::tm& out)
{
    return localtime_r(&t, &out) != nullptr;
}

}  // namespace platform
