#include "tarnwell/network_adapter.h"

#include <cstring>
#include <memory>
#include <utility>

#include "tarnwell/wan_miniports.h"

namespace tarnwell {

network_adapter::network_adapter(CTarnwell& owner, std::uint64_t adapter_handle,
                                 const std::uint8_t* mac, std::string internal_name,
                                 std::string friendly_name, std::uint32_t medium,
                                 std::uint16_t mtu)
    : network_adapter(owner, adapter_handle, mac, internal_name, std::move(friendly_name),
                      medium, mtu, classify_wan_kind(internal_name.c_str()))
{
}

network_adapter::network_adapter(CTarnwell& owner, std::uint64_t adapter_handle,
                                 const std::uint8_t* mac, std::string internal_name,
                                 std::string friendly_name, std::uint32_t medium,
                                 std::uint16_t mtu, std::uint32_t wan_kind)
    : owner_(owner),
      handle_(adapter_handle),
      internal_name_(std::move(internal_name)),
      friendly_name_(std::move(friendly_name)),
      medium_(medium),
      mtu_(mtu),
      wan_kind_(wan_kind)
{
    if (mac)
        std::memcpy(mac_.data(), mac, mac_.size());
}

bool network_adapter::set_mode(std::uint32_t flags)
{
    mode_.store(flags);
    return owner_.ApplyAdapterMode(ADAPTER_MODE{handle_, flags});
}

void network_adapter::release()
{
    event_.set();
    set_mode(0);
    owner_.DropQueuedPackets(handle_);
}

std::optional<std::vector<wan_link_address>> network_adapter::get_wan_links() const
{
    if (wan_kind_ != WAN_KIND_IP && wan_kind_ != WAN_KIND_IPV6)
        return std::nullopt;
    auto links = std::make_unique<WAN_LINKS>();  // zeroed
    if (!owner_.QueryWanLinks(handle_, links.get()))
        return std::nullopt;
    const std::uint32_t count = links->count < MAX_WAN_LINKS ? links->count : MAX_WAN_LINKS;
    if (count == 0)
        return std::nullopt;

    std::vector<wan_link_address> result(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const WAN_LINK_INFO& link = links->links[i];
        wan_link_address& out = result[i];
        out.link_speed = link.link_speed;
        out.maximum_total_size = link.maximum_total_size;
        std::memcpy(out.remote_address.data(), link.remote_address, ETHER_ADDR_LENGTH);
        std::memcpy(out.local_address.data(), link.local_address, ETHER_ADDR_LENGTH);
        if (wan_kind_ == WAN_KIND_IP) {
            out.family = WAN_ADDRESS_FAMILY_IPV4;
            std::memcpy(out.address.data(), link.protocol_buffer + WAN_PROTOCOL_IPV4_OFFSET, 4);
        } else {
            // The link carries only its interface identifier; the prefix half stays zero.
            out.family = WAN_ADDRESS_FAMILY_IPV6;
            std::memcpy(out.address.data() + 8,
                        link.protocol_buffer + WAN_PROTOCOL_IPV6_ID_OFFSET, 8);
        }
    }
    return result;
}

}  // namespace tarnwell
