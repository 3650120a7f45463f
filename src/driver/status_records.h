#pragma once
// Portable byte layouts of the status indications the core reads or edits. Each host
// translates its native indication into these (the NDIS binding copies fields; the fake host
// builds them directly), so the editing logic is written and tested once.

#include <cstdint>

namespace corvflt {

// WAN line up: followed by the protocol buffer.
inline constexpr std::uint32_t WAN_LINE_UP_LINK_SPEED = 0;          // u32
inline constexpr std::uint32_t WAN_LINE_UP_MAXIMUM_TOTAL_SIZE = 4;  // u32, reduced by the core
inline constexpr std::uint32_t WAN_LINE_UP_REMOTE_ADDRESS = 8;      // 6 bytes
inline constexpr std::uint32_t WAN_LINE_UP_LOCAL_ADDRESS = 14;      // 6 bytes
inline constexpr std::uint32_t WAN_LINE_UP_PROTOCOL_BUFFER_LENGTH = 20;  // u32
inline constexpr std::uint32_t WAN_LINE_UP_PROTOCOL_BUFFER = 24;
inline constexpr std::uint32_t WAN_LINE_UP_MIN_SIZE = 24;

// WAN line down.
inline constexpr std::uint32_t WAN_LINE_DOWN_REMOTE_ADDRESS = 0;
inline constexpr std::uint32_t WAN_LINE_DOWN_LOCAL_ADDRESS = 6;
inline constexpr std::uint32_t WAN_LINE_DOWN_MIN_SIZE = 12;

// Mobile broadband context state.
inline constexpr std::uint32_t MBB_CONTEXT_ACTIVATION_STATE = 0;  // u32: 1 activated, 3 deactivated
inline constexpr std::uint32_t MBB_CONTEXT_ERROR = 4;             // u32: 0 no error
inline constexpr std::uint32_t MBB_CONTEXT_CONNECTION_ID = 8;     // u32
inline constexpr std::uint32_t MBB_CONTEXT_MIN_SIZE = 12;
inline constexpr std::uint32_t MBB_ACTIVATED = 1;
inline constexpr std::uint32_t MBB_DEACTIVATED = 3;

// Encapsulation change (at least 28 bytes): u32 IPv4 and IPv6 encapsulation, 1 on, 2 off.
inline constexpr std::uint32_t ENCAPSULATION_IPV4 = 4;
inline constexpr std::uint32_t ENCAPSULATION_IPV6 = 8;
inline constexpr std::uint32_t ENCAPSULATION_MIN_SIZE = 28;
inline constexpr std::uint32_t ENCAPSULATION_OFF = 2;

// TCP connection offload capabilities (at least 28 bytes): bytes 4..27 describe the
// capability and are cleared.
inline constexpr std::uint32_t TCP_CONNECTION_OFFLOAD_CAPS = 4;
inline constexpr std::uint32_t TCP_CONNECTION_OFFLOAD_MIN_SIZE = 28;

}  // namespace corvflt
