#pragma once
// Portable layouts of the offload configuration (what an adapter says it can offload) and of
// the offload-parameters record (what the core asks the adapter to switch off), and the edit
// that hides every offload. Hosts translate their native records into these layouts.

#include <cstdint>

namespace corvflt {

// Offload configuration: u8 header type, u8 revision, u16 size, then capability blocks. A
// block is present when any of its bytes is non-zero; hiding zeroes it.
inline constexpr std::uint32_t OFFLOAD_CONFIG_REVISION = 1;  // byte offset of the revision
inline constexpr std::uint32_t OFFLOAD_CONFIG_MIN_INDICATION = 112;
inline constexpr std::uint32_t OFFLOAD_CONFIG_SIZE = 156;

struct offload_block {
    std::uint16_t offset;
    std::uint16_t length;
    std::uint8_t min_revision;
};
inline constexpr offload_block OFFLOAD_IPV4_CHECKSUM_TX{4, 8, 1};
inline constexpr offload_block OFFLOAD_IPV4_CHECKSUM_RX{12, 8, 1};
inline constexpr offload_block OFFLOAD_IPV6_CHECKSUM_TX{20, 8, 1};
inline constexpr offload_block OFFLOAD_IPV6_CHECKSUM_RX{28, 8, 1};
inline constexpr offload_block OFFLOAD_LSO_V1{36, 16, 1};
inline constexpr offload_block OFFLOAD_IPSEC_V1{52, 20, 1};
inline constexpr offload_block OFFLOAD_LSO_V2_IPV4{72, 12, 1};
inline constexpr offload_block OFFLOAD_LSO_V2_IPV6{84, 16, 1};
inline constexpr offload_block OFFLOAD_IPSEC_V2{112, 20, 2};
inline constexpr offload_block OFFLOAD_RSC_IPV4{132, 4, 3};
inline constexpr offload_block OFFLOAD_RSC_IPV6{136, 4, 3};
inline constexpr offload_block OFFLOAD_ENCAPSULATED{140, 16, 3};

// Offload parameters: 28 bytes sent with OID_TCP_OFFLOAD_PARAMETERS.
inline constexpr std::uint32_t OFFLOAD_PARAMETERS_SIZE = 28;
inline constexpr std::uint8_t OFFLOAD_PARAMETERS_TYPE = 0x80;  // also the "prepared" mark
inline constexpr std::uint8_t OFFLOAD_PARAMETERS_REVISION = 3;
inline constexpr std::uint16_t OFFLOAD_PARAMETERS_RECORD_SIZE = 26;
inline constexpr std::uint32_t PARAM_IPV4_CHECKSUM = 4;
inline constexpr std::uint32_t PARAM_TCP_IPV4_CHECKSUM = 5;
inline constexpr std::uint32_t PARAM_UDP_IPV4_CHECKSUM = 6;
inline constexpr std::uint32_t PARAM_TCP_IPV6_CHECKSUM = 7;
inline constexpr std::uint32_t PARAM_UDP_IPV6_CHECKSUM = 8;
inline constexpr std::uint32_t PARAM_LSO_V1 = 9;
inline constexpr std::uint32_t PARAM_IPSEC_V1 = 10;
inline constexpr std::uint32_t PARAM_LSO_V2_IPV4 = 11;
inline constexpr std::uint32_t PARAM_LSO_V2_IPV6 = 12;
inline constexpr std::uint32_t PARAM_IPSEC_V2 = 20;
inline constexpr std::uint32_t PARAM_RSC_IPV4 = 22;
inline constexpr std::uint32_t PARAM_RSC_IPV6 = 23;
inline constexpr std::uint32_t PARAM_ENCAPSULATED = 24;
inline constexpr std::uint8_t PARAM_DISABLED = 1;
inline constexpr std::uint8_t PARAM_ENCAPSULATED_DISABLED = 2;

// Zeroes every offload capability present in `config` (up to `length` bytes; blocks that
// do not fit or need a later revision are left alone). When `parameters` (28 bytes) is given,
// its header is written and each hidden offload's entry set to disabled. Returns whether
// any capability was present.
bool hide_offloads(std::uint8_t* config, std::uint32_t length, std::uint8_t* parameters);

// Prepares `parameters` with both coalescing entries disabled (a coalesced frame arrived).
void disable_coalescing(std::uint8_t* parameters);

}  // namespace corvflt
