// Adapter names on Linux: read off the driver host's internal name "\DEVICE\{ifname}".

#include "platform/adapter_names.h"

#include <cstring>
#include <strings.h>

namespace platform {

bool is_windows_version_or_greater(std::uint32_t, std::uint32_t)
{
    return false;
}

bool is_component_adapter(const char*, const char*)
{
    return false;
}

bool read_connection_name(const char* name, char* out, std::size_t out_size)
{
    static constexpr char prefix[] = "\\DEVICE\\";
    static constexpr std::size_t prefix_length = sizeof prefix - 1;
    if (!name || std::strlen(name) < prefix_length + 3 ||
        ::strncasecmp(name, prefix, prefix_length) != 0)
        return false;
    const char* id = name + prefix_length;
    const std::size_t id_length = std::strlen(id);
    // Only "{ifname}" with a non-empty ifname names one of the host's interfaces.
    if (id[0] != '{' || id[id_length - 1] != '}')
        return false;
    if (!out || out_size == 0)
        return true;
    const std::size_t copied = id_length - 2 < out_size - 1 ? id_length - 2 : out_size - 1;
    std::memcpy(out, id + 1, copied);
    out[copied] = '\0';
    return true;
}

bool is_wow64_process()
{
    return false;
}

}  // namespace platform
