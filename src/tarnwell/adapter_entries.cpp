#include "tarnwell/adapter_entries.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace tarnwell {
namespace {

// Room for any connection name the registry may hold.
constexpr std::size_t friendly_name_buffer_size = 1040;

}  // namespace

bool query_adapter_entries(const CTarnwell& client, std::vector<adapter_entry>& out)
{
    out.clear();
    auto list = std::make_unique<ADAPTER_LIST>();
    if (!client.QueryAdapterList(*list))
        return false;
    const std::uint32_t count = list->count < ADAPTER_LIST_SIZE ? list->count : ADAPTER_LIST_SIZE;
    out.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        adapter_entry entry;
        entry.handle = list->handles[i];
        std::memcpy(entry.mac.data(), list->mac_addresses[i], ETHER_ADDR_LENGTH);
        const char* name = list->names[i];
        entry.internal_name.assign(name, std::find(name, name + ADAPTER_NAME_SIZE, '\0'));
        char friendly[friendly_name_buffer_size] = {};
        if (CTarnwell::ResolveFriendlyName(entry.internal_name.c_str(), friendly,
                                           sizeof friendly))
            entry.friendly_name = friendly;
        entry.medium = list->media[i];
        entry.mtu = list->mtus[i];
        out.push_back(std::move(entry));
    }
    return true;
}

}  // namespace tarnwell
