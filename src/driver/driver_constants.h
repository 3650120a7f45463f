#pragma once
// Values the core uses beyond the control records: adapter states, verdicts, NDIS statuses,
// OIDs and status codes it acts on.

#include <cstdint>

#include "tarnwell/control_interface.h"

namespace corvflt {

inline constexpr std::uint32_t FILTER_PAUSING = 2;
inline constexpr std::uint32_t FILTER_PAUSED = 3;
inline constexpr std::uint32_t FILTER_RUNNING = 6;

inline constexpr std::uint32_t VERDICT_PASS = 1;
inline constexpr std::uint32_t VERDICT_DROP = 2;
inline constexpr std::uint32_t VERDICT_DIVERT = 3;
inline constexpr std::uint32_t VERDICT_COPY = 4;
inline constexpr std::uint32_t VERDICT_DIVERT_FOREIGN = 5;

inline constexpr std::uint32_t STATUS_SUCCESS = tarnwell::CORVFLT_STATUS_SUCCESS;
inline constexpr std::uint32_t STATUS_PENDING = tarnwell::CORVFLT_STATUS_PENDING;
inline constexpr std::uint32_t STATUS_INVALID_PARAMETER = tarnwell::CORVFLT_STATUS_INVALID_PARAMETER;
inline constexpr std::uint32_t STATUS_INSUFFICIENT_RESOURCES =
    tarnwell::CORVFLT_STATUS_INSUFFICIENT_RESOURCES;
inline constexpr std::uint32_t STATUS_SHARED_SECTION_DENIED =
    tarnwell::CORVFLT_STATUS_SHARED_SECTION_DENIED;
inline constexpr std::uint32_t STATUS_UNSUCCESSFUL = tarnwell::CORVFLT_STATUS_UNSUCCESSFUL;
inline constexpr std::uint32_t NDIS_STATUS_NOT_SUPPORTED = tarnwell::NDIS_STATUS_NOT_SUPPORTED;
inline constexpr std::uint32_t NDIS_STATUS_PAUSED = 0xC023002A;

inline constexpr std::uint32_t OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
inline constexpr std::uint32_t OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
inline constexpr std::uint32_t OID_GEN_MAXIMUM_TOTAL_SIZE = 0x00010111;
inline constexpr std::uint32_t OID_802_3_CURRENT_ADDRESS = 0x01010102;
inline constexpr std::uint32_t OID_TCP_OFFLOAD_PARAMETERS = 0xFC01020C;

inline constexpr std::uint32_t STATUS_INDICATION_WAN_LINE_UP = 0x40010008;
inline constexpr std::uint32_t STATUS_INDICATION_WAN_LINE_DOWN = 0x40010009;
inline constexpr std::uint32_t STATUS_INDICATION_OFFLOAD_CURRENT_CONFIG = 0x40020006;
inline constexpr std::uint32_t STATUS_INDICATION_OFFLOAD_HARDWARE_CAPABILITIES = 0x40020007;
inline constexpr std::uint32_t STATUS_INDICATION_OFFLOAD_ENCAPSULATION_CHANGE = 0x40020008;
inline constexpr std::uint32_t STATUS_INDICATION_TCP_CONNECTION_OFFLOAD_CAPABILITIES = 0x4002000B;
inline constexpr std::uint32_t STATUS_INDICATION_MOBILE_BROADBAND_CONTEXT_STATE = 0x4004100B;

inline constexpr std::uint32_t MAX_ADAPTER_MTU = 1500;
inline constexpr std::uint32_t MAX_TOTAL_SIZE = 1514;
inline constexpr std::uint32_t ETHER_HEADER_SIZE = 14;

// Media that carry bare IP packets: the core frames them with a 14-byte zero-address header.
constexpr bool is_ip_medium(std::uint32_t medium)
{
    return medium == tarnwell::NDIS_MEDIUM_WIRELESS_WAN || medium == tarnwell::NDIS_MEDIUM_IP;
}

}  // namespace corvflt
