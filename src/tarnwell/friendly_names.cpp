// Name lookups of the driver client: fixed names for the WAN miniports, the registry's
// connection names for every other adapter (through the platform layer).

#include <cstring>
#include <initializer_list>

#include "platform/adapter_names.h"
#include "tarnwell/driver_client.h"
#include "tarnwell/wan_miniports.h"

namespace tarnwell {
namespace {

struct wan_miniport {
    std::uint32_t kind;
    const char* device_name;   // internal name before Windows 10
    const char* component_id;  // network component id
    const char* friendly_name;
};

constexpr wan_miniport wan_ip{WAN_KIND_IP, "\\DEVICE\\NDISWANIP", "ms_ndiswanip",
                              "WAN Network Interface (IP)"};
constexpr wan_miniport wan_ipv6{WAN_KIND_IPV6, "\\DEVICE\\NDISWANIPV6", "ms_ndiswanipv6",
                                "WAN Network Interface (IPv6)"};
constexpr wan_miniport wan_bh{WAN_KIND_BH, "\\DEVICE\\NDISWANBH", "ms_ndiswanbh",
                              "WAN Network Interface (BH)"};

bool equals_ignoring_case(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(*a) != lower(*b))
            return false;
        if (*a == '\0')
            return true;
    }
}

bool is_miniport(const char* name, const wan_miniport& miniport, bool windows_10_or_later)
{
    if (!windows_10_or_later && equals_ignoring_case(name, miniport.device_name))
        return true;
    return CTarnwell::IsComponentAdapter(name, miniport.component_id);
}

void bounded_copy(char* out, std::size_t out_size, const char* text)
{
    if (!out || out_size == 0)
        return;
    const std::size_t length = std::strlen(text);
    const std::size_t copied = length < out_size - 1 ? length : out_size - 1;
    std::memcpy(out, text, copied);
    out[copied] = '\0';
}

}  // namespace

bool CTarnwell::IsComponentAdapter(const char* name, const char* component_id)
{
    return platform::is_component_adapter(name, component_id);
}

bool CTarnwell::ResolveFriendlyName(const char* name, char* out, std::size_t out_size)
{
    if (!name)
        return false;
    const bool windows_10 = platform::is_windows_version_or_greater(10, 0);
    for (const wan_miniport* miniport : {&wan_ip, &wan_bh, &wan_ipv6}) {
        if (is_miniport(name, *miniport, windows_10)) {
            bounded_copy(out, out_size, miniport->friendly_name);
            return true;
        }
    }
    return platform::read_connection_name(name, out, out_size);
}

std::uint32_t classify_wan_kind(const char* name)
{
    if (!name)
        return WAN_KIND_NONE;
    const bool windows_10 = platform::is_windows_version_or_greater(10, 0);
    for (const wan_miniport* miniport : {&wan_ip, &wan_ipv6, &wan_bh}) {
        if (is_miniport(name, *miniport, windows_10))
            return miniport->kind;
    }
    return WAN_KIND_NONE;
}

}  // namespace tarnwell
