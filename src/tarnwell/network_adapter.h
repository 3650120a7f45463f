#pragma once
// tarnwell::network_adapter: one adapter of the driver's list as both packet filters see
// it. Owns the adapter's packet event (manual reset, handed to the driver when a filter
// starts) and the mode record last applied; borrows the filter (CTarnwell) whose device
// carries its requests, which must outlive it.
//
// Threads: the event is waited on by the filter's reading thread and signalled by
// release() from the owner's thread; names, medium and handle never change.

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/event.h"
#include "tarnwell/control_interface.h"
#include "tarnwell/driver_client.h"

namespace tarnwell {

// Socket-address families of wan_link_address, as Winsock numbers them.
inline constexpr std::uint16_t WAN_ADDRESS_FAMILY_IPV4 = 2;
inline constexpr std::uint16_t WAN_ADDRESS_FAMILY_IPV6 = 23;

// One WAN link of a WAN miniport, as the line reported it when it came up.
struct wan_link_address {
    std::uint32_t link_speed = 0;
    std::uint32_t maximum_total_size = 0;
    std::array<std::uint8_t, ETHER_ADDR_LENGTH> remote_address{};
    std::array<std::uint8_t, ETHER_ADDR_LENGTH> local_address{};
    // The link's IP address: family WAN_ADDRESS_FAMILY_IPV4 with the address in bytes 0-3,
    // or WAN_ADDRESS_FAMILY_IPV6 with all 16 bytes (network byte order).
    std::uint16_t family = 0;
    std::array<std::uint8_t, 16> address{};
};

class network_adapter {
public:
    // Computes wan_kind from the internal name.
    network_adapter(CTarnwell& owner, std::uint64_t adapter_handle, const std::uint8_t* mac,
                    std::string internal_name, std::string friendly_name, std::uint32_t medium,
                    std::uint16_t mtu);
    // With a WAN kind the caller already knows.
    network_adapter(CTarnwell& owner, std::uint64_t adapter_handle, const std::uint8_t* mac,
                    std::string internal_name, std::string friendly_name, std::uint32_t medium,
                    std::uint16_t mtu, std::uint32_t wan_kind);
    network_adapter(const network_adapter&) = delete;
    network_adapter& operator=(const network_adapter&) = delete;

    std::uint64_t adapter_handle() const { return handle_; }
    const std::array<std::uint8_t, ETHER_ADDR_LENGTH>& mac_address() const { return mac_; }
    const std::string& internal_name() const { return internal_name_; }
    const std::string& friendly_name() const { return friendly_name_; }
    std::uint32_t medium() const { return medium_; }
    std::uint16_t mtu() const { return mtu_; }
    // WAN_KIND_NONE, WAN_KIND_IP, WAN_KIND_IPV6 or WAN_KIND_BH (wan_miniports.h).
    std::uint32_t wan_kind() const { return wan_kind_; }

    platform::event& packet_event() { return event_; }
    // The mode flags last applied.
    std::uint32_t mode() const { return mode_.load(); }
    // Records `flags` as the adapter's mode and applies it through the owner.
    bool set_mode(std::uint32_t flags);

    // Lets the adapter go: signals the event (waking a thread that waits on it), applies
    // mode 0 and drops the adapter's queued packets.
    void release();

    // The adapter's WAN links in link order, for WAN IP and WAN IPv6 miniports; no value
    // for other adapters, when the request fails, or when there is no link.
    std::optional<std::vector<wan_link_address>> get_wan_links() const;

private:
    CTarnwell& owner_;
    const std::uint64_t handle_;
    std::array<std::uint8_t, ETHER_ADDR_LENGTH> mac_{};
    const std::string internal_name_;
    const std::string friendly_name_;
    const std::uint32_t medium_;
    const std::uint16_t mtu_;
    const std::uint32_t wan_kind_;
    platform::event event_{platform::event_kind::manual_reset};
    std::atomic<std::uint32_t> mode_{0};
};

}  // namespace tarnwell
