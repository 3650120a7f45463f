#pragma once
// Everything that crosses between corvane-service and the corvflt driver: the device name,
// the control codes and the packed records. Both deliverables include this header and
// nothing else of each other, so every layout here is pinned by static_assert.
//
// Kept free of the standard library beyond fixed-width integers and offsetof so that the
// driver core (kernel-friendly subset) can include it as it is.

#include <cstddef>
#include <cstdint>

namespace tarnwell {

// User mode opens "\\.\" + CORVFLT_DEVICE_NAME; the driver creates the device and link below.
inline constexpr char CORVFLT_DEVICE_NAME[] = "CORVFLT";
inline constexpr char CORVFLT_USER_DEVICE_PATH[] = "\\\\.\\CORVFLT";
inline constexpr wchar_t CORVFLT_NT_DEVICE_NAME[] = L"\\Device\\CORVFLT";
inline constexpr wchar_t CORVFLT_DOS_LINK_NAME[] = L"\\DosDevices\\CORVFLT";

inline constexpr std::uint32_t CORVFLT_DRIVER_VERSION = 0x02203000;

inline constexpr std::uint32_t MAX_ETHER_FRAME = 1514;
inline constexpr std::uint32_t ADAPTER_NAME_SIZE = 256;
inline constexpr std::uint32_t ADAPTER_LIST_SIZE = 32;
inline constexpr std::uint32_t ETHER_ADDR_LENGTH = 6;
inline constexpr std::uint32_t WAN_PROTOCOL_BUFFER_SIZE = 2048;
inline constexpr std::uint32_t MAX_WAN_LINKS = 256;
inline constexpr std::uint32_t MAX_SHARED_SECTIONS = 16;
// The service's batch requests are one 4096-byte page: 16 header bytes + 510 addresses.
inline constexpr std::uint32_t MAXIMUM_PACKET_BLOCK = 510;

// Statuses the driver completes requests with (NTSTATUS values).
inline constexpr std::uint32_t CORVFLT_STATUS_SUCCESS = 0x00000000;
inline constexpr std::uint32_t CORVFLT_STATUS_PENDING = 0x00000103;
inline constexpr std::uint32_t CORVFLT_STATUS_INVALID_PARAMETER = 0xC000000D;
inline constexpr std::uint32_t CORVFLT_STATUS_INSUFFICIENT_RESOURCES = 0xC000009A;
inline constexpr std::uint32_t CORVFLT_STATUS_SHARED_SECTION_DENIED = 0xC000020A;
inline constexpr std::uint32_t CORVFLT_STATUS_UNSUCCESSFUL = 0xC0000001;
inline constexpr std::uint32_t NDIS_STATUS_NOT_SUPPORTED = 0xC00000BB;

// Device type 0x8300, buffered method, any access: (0x8300 << 16) | (function << 2).
constexpr std::uint32_t corvflt_control_code(std::uint32_t function)
{
    return (0x8300u << 16) | (function << 2);
}

// Each code's buffer contract (in/out minimum lengths, bytes returned) is stated beside it.
// out >= 4: u32 version. Info 4.
inline constexpr std::uint32_t IOCTL_CORVFLT_GET_VERSION = corvflt_control_code(0x830);
// out >= sizeof(ADAPTER_LIST): the list, zeroed first. Info 8836.
inline constexpr std::uint32_t IOCTL_CORVFLT_GET_ADAPTER_LIST = corvflt_control_code(0x831);
// in >= PACKET_REQUEST; buffer probed for 1566 readable bytes, length <= 1514. Info 0.
inline constexpr std::uint32_t IOCTL_CORVFLT_SEND_TO_ADAPTER = corvflt_control_code(0x832);
// As SEND_TO_ADAPTER, indicated up the stack.
inline constexpr std::uint32_t IOCTL_CORVFLT_SEND_TO_STACK = corvflt_control_code(0x833);
// in >= PACKET_REQUEST; oldest queued packet copied (52 + length bytes); empty queue fails. Info 16.
inline constexpr std::uint32_t IOCTL_CORVFLT_READ_PACKET = corvflt_control_code(0x834);
// in >= ADAPTER_MODE: replaces the mode flags. Info 0.
inline constexpr std::uint32_t IOCTL_CORVFLT_SET_ADAPTER_MODE = corvflt_control_code(0x835);
// in >= 8 (u64 adapter handle): frees every queued packet. Info 0.
inline constexpr std::uint32_t IOCTL_CORVFLT_FLUSH_QUEUE = corvflt_control_code(0x836);
// in >= ADAPTER_EVENT: replaces the adapter's packet event (0 removes). Info 0.
inline constexpr std::uint32_t IOCTL_CORVFLT_SET_PACKET_EVENT = corvflt_control_code(0x837);
// OID_REQUEST_RECORD; in > 16, out > 16, in == out, in >= 16 + L. Info = input length.
inline constexpr std::uint32_t IOCTL_CORVFLT_SET_OID = corvflt_control_code(0x838);
inline constexpr std::uint32_t IOCTL_CORVFLT_QUERY_OID = corvflt_control_code(0x839);
// in >= 8 (u64 event handle, 0 removes): global WAN line event. Info 0.
inline constexpr std::uint32_t IOCTL_CORVFLT_SET_WAN_EVENT = corvflt_control_code(0x83A);
// in >= 8 (u64 event handle, 0 removes): global adapter-list change event. Info 0.
inline constexpr std::uint32_t IOCTL_CORVFLT_SET_LIST_CHANGE_EVENT = corvflt_control_code(0x83B);
// in >= 8 (adapter handle): u32 queue count. Info 4.
inline constexpr std::uint32_t IOCTL_CORVFLT_GET_QUEUE_SIZE = corvflt_control_code(0x83C);
// in >= ADAPTER_MODE: mode written at offset 8. Info 12.
inline constexpr std::uint32_t IOCTL_CORVFLT_GET_ADAPTER_MODE = corvflt_control_code(0x83D);
// FILTER_TABLE; in >= 185, N >= 1, in >= 4 + 181 * N. Info 0.
inline constexpr std::uint32_t IOCTL_CORVFLT_SET_FILTER_TABLE = corvflt_control_code(0x83E);
// Removes the table; always succeeds. Info 0.
inline constexpr std::uint32_t IOCTL_CORVFLT_RESET_FILTER_TABLE = corvflt_control_code(0x83F);
// out >= 4: u32 entry count. Info 4.
inline constexpr std::uint32_t IOCTL_CORVFLT_GET_FILTER_TABLE_SIZE = corvflt_control_code(0x840);
// out >= 4 + 181 * N (or 4 without a table). Info = output length.
inline constexpr std::uint32_t IOCTL_CORVFLT_GET_FILTER_TABLE = corvflt_control_code(0x841);
inline constexpr std::uint32_t IOCTL_CORVFLT_GET_FILTER_TABLE_RESET_STATS = corvflt_control_code(0x842);
// in >= 8 (adapter handle), out >= sizeof(WAN_LINKS). Info 530436.
inline constexpr std::uint32_t IOCTL_CORVFLT_GET_WAN_LINKS = corvflt_control_code(0x843);
// PACKET_BATCH_REQUEST, in >= 24 (and >= 16 + 8 * count). Info 0.
inline constexpr std::uint32_t IOCTL_CORVFLT_SEND_BATCH_TO_ADAPTER = corvflt_control_code(0x844);
inline constexpr std::uint32_t IOCTL_CORVFLT_SEND_BATCH_TO_STACK = corvflt_control_code(0x845);
// PACKET_BATCH_REQUEST, in >= 24: packets done written back; fails if none. Info = input length.
inline constexpr std::uint32_t IOCTL_CORVFLT_READ_BATCH = corvflt_control_code(0x846);
// ADAPTER_EVENT, in >= 16: event for OID_GEN_CURRENT_PACKET_FILTER sets. Info 0.
inline constexpr std::uint32_t IOCTL_CORVFLT_SET_FILTER_CHANGE_EVENT = corvflt_control_code(0x847);
// SHARED_SECTION_REQUEST, in >= 12.
inline constexpr std::uint32_t IOCTL_CORVFLT_MAP_SHARED_SECTION = corvflt_control_code(0x848);
// MIXED_BATCH_REQUEST, in >= 12: number read written at offset 8; fails if none. Info 12.
inline constexpr std::uint32_t IOCTL_CORVFLT_READ_MIXED = corvflt_control_code(0x849);
// MIXED_BATCH_REQUEST, in >= 12: number sent written at offset 8; always succeeds. Info 12.
inline constexpr std::uint32_t IOCTL_CORVFLT_SEND_MIXED_TO_ADAPTERS = corvflt_control_code(0x84A);
inline constexpr std::uint32_t IOCTL_CORVFLT_SEND_MIXED_TO_STACK = corvflt_control_code(0x84B);
// SHARED_SECTION_REQUEST, in >= 12: a further section of the same owner (16 in all).
inline constexpr std::uint32_t IOCTL_CORVFLT_ADD_SHARED_SECTION = corvflt_control_code(0x84C);

static_assert(IOCTL_CORVFLT_GET_VERSION == 0x830020C0);
static_assert(IOCTL_CORVFLT_READ_BATCH == 0x83002118);
static_assert(IOCTL_CORVFLT_ADD_SHARED_SECTION == 0x83002130);

// Direction of a captured packet (INTERMEDIATE_BUFFER::direction).
inline constexpr std::uint32_t DIRECTION_OUTGOING = 1;
inline constexpr std::uint32_t DIRECTION_INCOMING = 2;

// Adapter mode flags (ADAPTER_MODE::mode); 0 lets every packet pass untouched.
inline constexpr std::uint32_t MODE_TUNNEL_SEND = 0x01;
inline constexpr std::uint32_t MODE_TUNNEL_RECV = 0x02;
inline constexpr std::uint32_t MODE_LISTEN_SEND = 0x04;
inline constexpr std::uint32_t MODE_LISTEN_RECV = 0x08;
inline constexpr std::uint32_t MODE_DIVERT_FOREIGN_UNICAST = 0x10;
inline constexpr std::uint32_t MODE_LOOPBACK = 0x20;
inline constexpr std::uint32_t MODE_LOOPBACK_DROP_UNICAST = 0x40;

// NDIS media as reported in ADAPTER_LIST.
inline constexpr std::uint32_t NDIS_MEDIUM_802_3 = 0;
inline constexpr std::uint32_t NDIS_MEDIUM_WAN = 3;
inline constexpr std::uint32_t NDIS_MEDIUM_WIRELESS_WAN = 9;
inline constexpr std::uint32_t NDIS_MEDIUM_IP = 19;

#pragma pack(push, 1)

// One packet as exchanged with the driver: a 52-byte header and room for a 1514-byte frame.
struct INTERMEDIATE_BUFFER {
    // Driver queue link while the driver holds the packet; bytes 0-7 carry the adapter
    // handle in READ_MIXED answers, shared-section slots and SEND_MIXED requests.
    union {
        std::uint8_t link[16];
        std::uint64_t adapter_handle;
    };
    std::uint32_t direction;     // DIRECTION_OUTGOING or DIRECTION_INCOMING, set on capture
    std::uint32_t length;        // frame length in bytes, at most MAX_ETHER_FRAME
    std::uint32_t reserved;
    std::uint32_t ieee8021q;     // per-packet 802.1Q information, copied on injection
    std::uint32_t filter_index;  // FILTER_TABLE entry that matched, when one did
    std::uint8_t scratch[16];    // driver's own (verdict, buffer origin); clients ignore it
    std::uint8_t frame[MAX_ETHER_FRAME];
};

struct ADAPTER_LIST {
    std::uint32_t count;
    char names[ADAPTER_LIST_SIZE][ADAPTER_NAME_SIZE];
    std::uint64_t handles[ADAPTER_LIST_SIZE];
    std::uint32_t media[ADAPTER_LIST_SIZE];
    std::uint8_t mac_addresses[ADAPTER_LIST_SIZE][ETHER_ADDR_LENGTH];
    std::uint16_t mtus[ADAPTER_LIST_SIZE];
};

struct PACKET_REQUEST {
    std::uint64_t adapter_handle;
    std::uint64_t buffer;  // user address of one INTERMEDIATE_BUFFER
};

// Followed in memory by `count` u64 user addresses of INTERMEDIATE_BUFFERs.
struct PACKET_BATCH_REQUEST {
    std::uint64_t adapter_handle;
    std::uint32_t count;
    std::uint32_t packets_done;  // written by the driver on reads
    std::uint64_t buffers[1];
};
inline constexpr std::uint32_t PACKET_BATCH_REQUEST_HEADER_SIZE = 16;
constexpr std::uint64_t packet_batch_request_size(std::uint32_t count)
{
    return PACKET_BATCH_REQUEST_HEADER_SIZE + 8ull * count;
}

struct MIXED_BATCH_REQUEST {
    std::uint64_t buffers;  // user address of an array of u64 INTERMEDIATE_BUFFER addresses
    std::uint32_t count;    // the driver writes back the number handled
};

struct ADAPTER_MODE {
    std::uint64_t adapter_handle;
    std::uint32_t mode;
};

struct ADAPTER_EVENT {
    std::uint64_t adapter_handle;
    std::uint64_t event;  // user handle of an event object; 0 removes
};

// Followed in memory by `length` data bytes.
struct OID_REQUEST_RECORD {
    std::uint64_t adapter_handle;
    std::uint32_t oid;
    std::uint32_t length;  // on pended completion: bytes NDIS read or wrote, or the failure status
    std::uint8_t data[1];
};
inline constexpr std::uint32_t OID_REQUEST_RECORD_HEADER_SIZE = 16;

struct WAN_LINK_INFO {
    std::uint32_t link_speed;
    std::uint32_t maximum_total_size;  // already reduced by MTUDecrement
    std::uint8_t remote_address[ETHER_ADDR_LENGTH];
    std::uint8_t local_address[ETHER_ADDR_LENGTH];
    std::uint32_t protocol_buffer_length;
    std::uint8_t protocol_buffer[WAN_PROTOCOL_BUFFER_SIZE];
};
// Where the service finds a link's IPv4 address and IPv6 interface identifier.
inline constexpr std::uint32_t WAN_PROTOCOL_IPV4_OFFSET = 584;
inline constexpr std::uint32_t WAN_PROTOCOL_IPV6_ID_OFFSET = 588;

struct WAN_LINKS {
    std::uint32_t count;
    WAN_LINK_INFO links[MAX_WAN_LINKS];
};

// Static filter table. Addresses are in network byte order; ports and EtherType in host order.
inline constexpr std::uint32_t FILTER_ACTION_PASS = 1;
inline constexpr std::uint32_t FILTER_ACTION_DROP = 2;
inline constexpr std::uint32_t FILTER_ACTION_REDIRECT = 3;  // leave it to the adapter mode

inline constexpr std::uint32_t FILTER_CRITERIA_DATA_LINK = 0x01;
inline constexpr std::uint32_t FILTER_CRITERIA_NETWORK = 0x02;
inline constexpr std::uint32_t FILTER_CRITERIA_TRANSPORT = 0x04;

inline constexpr std::uint32_t FILTER_DATA_LINK_ETHERNET = 1;
inline constexpr std::uint32_t FILTER_ETH_SOURCE_MAC = 0x01;
inline constexpr std::uint32_t FILTER_ETH_DEST_MAC = 0x02;
inline constexpr std::uint32_t FILTER_ETH_ETHERTYPE = 0x04;

inline constexpr std::uint32_t FILTER_NETWORK_IPV4 = 1;
inline constexpr std::uint32_t FILTER_NETWORK_IPV6 = 2;
inline constexpr std::uint32_t FILTER_IP_SOURCE = 0x01;
inline constexpr std::uint32_t FILTER_IP_DEST = 0x02;
inline constexpr std::uint32_t FILTER_IP_PROTOCOL = 0x04;
inline constexpr std::uint32_t FILTER_ADDRESS_SUBNET = 1;
inline constexpr std::uint32_t FILTER_ADDRESS_RANGE = 2;

inline constexpr std::uint32_t FILTER_TRANSPORT_PORTS = 1;
inline constexpr std::uint32_t FILTER_TRANSPORT_ICMP = 2;
inline constexpr std::uint32_t FILTER_TRANSPORT_SOURCE = 0x01;
inline constexpr std::uint32_t FILTER_TRANSPORT_DEST = 0x02;
inline constexpr std::uint32_t FILTER_TRANSPORT_TCP_FLAGS = 0x04;

struct IPV4_FILTER {
    std::uint32_t source_kind;   // FILTER_ADDRESS_SUBNET or FILTER_ADDRESS_RANGE
    std::uint8_t source[8];      // subnet: address, mask; range: low octets, high octets
    std::uint32_t dest_kind;
    std::uint8_t dest[8];
    std::uint8_t protocol;
};

struct IPV6_FILTER {
    std::uint32_t source_kind;
    std::uint8_t source[32];     // subnet: address, mask; range: first, last
    std::uint32_t dest_kind;
    std::uint8_t dest[32];
    std::uint8_t protocol;
};

struct PORT_FILTER {
    std::uint16_t source_first;
    std::uint16_t source_last;
    std::uint16_t dest_first;
    std::uint16_t dest_last;
    std::uint8_t tcp_flags;
};

struct ICMP_FILTER {
    std::uint8_t type_first;
    std::uint8_t type_last;
    std::uint8_t code_first;
    std::uint8_t code_last;
};

struct STATIC_FILTER {
    std::uint64_t adapter_handle;  // 0 = every adapter
    std::uint32_t direction;       // mask of DIRECTION_OUTGOING / DIRECTION_INCOMING
    std::uint32_t action;          // FILTER_ACTION_*
    std::uint32_t criteria;        // FILTER_CRITERIA_* present
    std::uint32_t start_time;      // seconds since 1980-01-01 00:00 UTC, set by the driver
    std::uint64_t incoming_packets;
    std::uint64_t incoming_bytes;
    std::uint64_t outgoing_packets;
    std::uint64_t outgoing_bytes;
    std::uint32_t data_link_kind;
    std::uint32_t ethernet_fields;
    std::uint8_t source_mac[ETHER_ADDR_LENGTH];
    std::uint8_t dest_mac[ETHER_ADDR_LENGTH];
    std::uint16_t ethertype;
    std::uint8_t ethertype_padding[2];  // keeps network_kind at offset 80
    std::uint32_t network_kind;
    std::uint32_t network_fields;
    union {
        IPV4_FILTER ipv4;
        IPV6_FILTER ipv6;
        std::uint8_t network_bytes[76];  // offsets 88..163
    };
    std::uint32_t transport_kind;
    std::uint32_t transport_fields;
    union {
        PORT_FILTER ports;
        ICMP_FILTER icmp;
        std::uint8_t transport_bytes[9];
    };
};

// Followed in memory by `count` STATIC_FILTER entries.
struct FILTER_TABLE {
    std::uint32_t count;
    STATIC_FILTER entries[1];
};
inline constexpr std::uint32_t FILTER_TABLE_HEADER_SIZE = 4;
constexpr std::uint64_t filter_table_size(std::uint32_t count)
{
    return FILTER_TABLE_HEADER_SIZE + 181ull * count;
}

struct SHARED_SECTION_REQUEST {
    std::uint64_t buffer;  // user address of the section
    std::uint32_t size;    // bytes
};

// Header of a mapped section; (size - 8) / 1566 INTERMEDIATE_BUFFER slots follow.
struct SHARED_SECTION_HEADER {
    std::uint16_t write_index;  // slots filled; advanced before the copy
    std::uint16_t writer_mark;  // 1 while the driver copies into a slot
    std::uint32_t state;        // 0 open, 1 reader wants it, 2 driver moved on
};

#pragma pack(pop)

static_assert(sizeof(INTERMEDIATE_BUFFER) == 1566);
static_assert(offsetof(INTERMEDIATE_BUFFER, direction) == 16);
static_assert(offsetof(INTERMEDIATE_BUFFER, length) == 20);
static_assert(offsetof(INTERMEDIATE_BUFFER, reserved) == 24);
static_assert(offsetof(INTERMEDIATE_BUFFER, ieee8021q) == 28);
static_assert(offsetof(INTERMEDIATE_BUFFER, filter_index) == 32);
static_assert(offsetof(INTERMEDIATE_BUFFER, scratch) == 36);
static_assert(offsetof(INTERMEDIATE_BUFFER, frame) == 52);
inline constexpr std::uint32_t INTERMEDIATE_BUFFER_HEADER_SIZE = offsetof(INTERMEDIATE_BUFFER, frame);

static_assert(sizeof(ADAPTER_LIST) == 8836);
static_assert(offsetof(ADAPTER_LIST, names) == 4);
static_assert(offsetof(ADAPTER_LIST, handles) == 8196);
static_assert(offsetof(ADAPTER_LIST, media) == 8452);
static_assert(offsetof(ADAPTER_LIST, mac_addresses) == 8580);
static_assert(offsetof(ADAPTER_LIST, mtus) == 8772);

static_assert(sizeof(PACKET_REQUEST) == 16);
static_assert(offsetof(PACKET_BATCH_REQUEST, count) == 8);
static_assert(offsetof(PACKET_BATCH_REQUEST, packets_done) == 12);
static_assert(offsetof(PACKET_BATCH_REQUEST, buffers) == PACKET_BATCH_REQUEST_HEADER_SIZE);
static_assert(packet_batch_request_size(MAXIMUM_PACKET_BLOCK) == 4096);
static_assert(sizeof(MIXED_BATCH_REQUEST) == 12);
static_assert(offsetof(MIXED_BATCH_REQUEST, count) == 8);
static_assert(sizeof(ADAPTER_MODE) == 12);
static_assert(offsetof(ADAPTER_MODE, mode) == 8);
static_assert(sizeof(ADAPTER_EVENT) == 16);
static_assert(offsetof(OID_REQUEST_RECORD, oid) == 8);
static_assert(offsetof(OID_REQUEST_RECORD, length) == 12);
static_assert(offsetof(OID_REQUEST_RECORD, data) == OID_REQUEST_RECORD_HEADER_SIZE);

static_assert(sizeof(WAN_LINK_INFO) == 2072);
static_assert(offsetof(WAN_LINK_INFO, remote_address) == 8);
static_assert(offsetof(WAN_LINK_INFO, local_address) == 14);
static_assert(offsetof(WAN_LINK_INFO, protocol_buffer_length) == 20);
static_assert(offsetof(WAN_LINK_INFO, protocol_buffer) == 24);
static_assert(sizeof(WAN_LINKS) == 530436);

static_assert(sizeof(IPV4_FILTER) == 25);
static_assert(sizeof(IPV6_FILTER) == 73);
static_assert(sizeof(STATIC_FILTER) == 181);
static_assert(offsetof(STATIC_FILTER, direction) == 8);
static_assert(offsetof(STATIC_FILTER, action) == 12);
static_assert(offsetof(STATIC_FILTER, criteria) == 16);
static_assert(offsetof(STATIC_FILTER, start_time) == 20);
static_assert(offsetof(STATIC_FILTER, incoming_packets) == 24);
static_assert(offsetof(STATIC_FILTER, outgoing_bytes) == 48);
static_assert(offsetof(STATIC_FILTER, data_link_kind) == 56);
static_assert(offsetof(STATIC_FILTER, ethernet_fields) == 60);
static_assert(offsetof(STATIC_FILTER, source_mac) == 64);
static_assert(offsetof(STATIC_FILTER, dest_mac) == 70);
static_assert(offsetof(STATIC_FILTER, ethertype) == 76);
static_assert(offsetof(STATIC_FILTER, network_kind) == 80);
static_assert(offsetof(STATIC_FILTER, network_fields) == 84);
static_assert(offsetof(STATIC_FILTER, ipv4) == 88);
static_assert(offsetof(STATIC_FILTER, ipv4) + offsetof(IPV4_FILTER, dest_kind) == 100);
static_assert(offsetof(STATIC_FILTER, ipv4) + offsetof(IPV4_FILTER, dest) == 104);
static_assert(offsetof(STATIC_FILTER, ipv4) + offsetof(IPV4_FILTER, protocol) == 112);
static_assert(offsetof(STATIC_FILTER, ipv6) + offsetof(IPV6_FILTER, dest_kind) == 124);
static_assert(offsetof(STATIC_FILTER, ipv6) + offsetof(IPV6_FILTER, dest) == 128);
static_assert(offsetof(STATIC_FILTER, ipv6) + offsetof(IPV6_FILTER, protocol) == 160);
static_assert(offsetof(STATIC_FILTER, transport_kind) == 164);
static_assert(offsetof(STATIC_FILTER, transport_fields) == 168);
static_assert(offsetof(STATIC_FILTER, ports) == 172);
static_assert(offsetof(STATIC_FILTER, ports) + offsetof(PORT_FILTER, tcp_flags) == 180);
static_assert(offsetof(FILTER_TABLE, entries) == FILTER_TABLE_HEADER_SIZE);
static_assert(filter_table_size(1) == 185);

static_assert(sizeof(SHARED_SECTION_REQUEST) == 12);
static_assert(sizeof(SHARED_SECTION_HEADER) == 8);

}  // namespace tarnwell
