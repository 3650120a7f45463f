#include "platform/host_facts.h"

#include <windows.h>
#include <shlobj.h>

namespace platform {

std::optional<std::string> common_app_data_folder()
{
    char path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)))
        return std::nullopt;
    return std::string(path);
}

bool standard_error_is_system_journal()
{
    return false;
}

char path_separator()
{
    return '\\';
}

bool to_local_time(std::time_t t, std::tm& out)
{
    return localtime_s(&out, &t) == 0;
}

}  // namespace platform
