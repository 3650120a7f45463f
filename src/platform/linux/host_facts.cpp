#include "platform/host_facts.h"

namespace platform {

std::optional<std::string> common_app_data_folder()
{
    return std::string("/var/lib");
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
