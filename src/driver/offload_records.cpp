#include "driver/offload_records.h"

#include <cstring>

namespace corvflt {
namespace {

// Zeroes `block` when it fits and the revision has it; true when it was present.
bool clear_block(std::uint8_t* config, std::uint32_t length, std::uint8_t revision,
                 const offload_block& block)
{
    if (revision < block.min_revision ||
        static_cast<std::uint32_t>(block.offset) + block.length > length)
        return false;
    bool present = false;
    for (std::uint32_t i = 0; i < block.length; ++i)
        present = present || config[block.offset + i] != 0;
    std::memset(config + block.offset, 0, block.length);
    return present;
}

void mark(std::uint8_t* parameters, std::uint32_t entry, std::uint8_t value = PARAM_DISABLED)
{
    if (parameters)
        parameters[entry] = value;
}

void write_header(std::uint8_t* parameters)
{
    parameters[0] = OFFLOAD_PARAMETERS_TYPE;
    parameters[1] = OFFLOAD_PARAMETERS_REVISION;
    std::memcpy(parameters + 2, &OFFLOAD_PARAMETERS_RECORD_SIZE, 2);
}

}  // namespace

bool hide_offloads(std::uint8_t* config, std::uint32_t length, std::uint8_t* parameters)
{
    if (!config || length <= OFFLOAD_CONFIG_REVISION)
        return false;
    const std::uint8_t revision = config[OFFLOAD_CONFIG_REVISION];
    if (parameters)
        write_header(parameters);
    bool any = false;
    // Either IPv4 checksum direction switches off all three IPv4 checksum entries.
    const bool v4_tx = clear_block(config, length, revision, OFFLOAD_IPV4_CHECKSUM_TX);
    const bool v4_rx = clear_block(config, length, revision, OFFLOAD_IPV4_CHECKSUM_RX);
    if (v4_tx || v4_rx) {
        mark(parameters, PARAM_IPV4_CHECKSUM);
        mark(parameters, PARAM_TCP_IPV4_CHECKSUM);
        mark(parameters, PARAM_UDP_IPV4_CHECKSUM);
        any = true;
    }
    const bool v6_tx = clear_block(config, length, revision, OFFLOAD_IPV6_CHECKSUM_TX);
    const bool v6_rx = clear_block(config, length, revision, OFFLOAD_IPV6_CHECKSUM_RX);
    if (v6_tx || v6_rx) {
        mark(parameters, PARAM_TCP_IPV6_CHECKSUM);
        mark(parameters, PARAM_UDP_IPV6_CHECKSUM);
        any = true;
    }
    struct single {
        const offload_block& block;
        std::uint32_t entry;
        std::uint8_t value;
    };
    const single singles[] = {
        {OFFLOAD_LSO_V1, PARAM_LSO_V1, PARAM_DISABLED},
        {OFFLOAD_IPSEC_V1, PARAM_IPSEC_V1, PARAM_DISABLED},
        {OFFLOAD_LSO_V2_IPV4, PARAM_LSO_V2_IPV4, PARAM_DISABLED},
        {OFFLOAD_LSO_V2_IPV6, PARAM_LSO_V2_IPV6, PARAM_DISABLED},
        {OFFLOAD_IPSEC_V2, PARAM_IPSEC_V2, PARAM_DISABLED},
        {OFFLOAD_RSC_IPV4, PARAM_RSC_IPV4, PARAM_DISABLED},
        {OFFLOAD_RSC_IPV6, PARAM_RSC_IPV6, PARAM_DISABLED},
        {OFFLOAD_ENCAPSULATED, PARAM_ENCAPSULATED, PARAM_ENCAPSULATED_DISABLED},
    };
    for (const single& s : singles) {
        if (clear_block(config, length, revision, s.block)) {
            mark(parameters, s.entry, s.value);
            any = true;
        }
    }
    return any;
}

void disable_coalescing(std::uint8_t* parameters)
{
    write_header(parameters);
    parameters[PARAM_RSC_IPV4] = PARAM_DISABLED;
    parameters[PARAM_RSC_IPV6] = PARAM_DISABLED;
}

}  // namespace corvflt
