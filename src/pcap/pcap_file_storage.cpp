#include "pcap/pcap_file_storage.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace pcap {

namespace {

constexpr std::uint32_t pcap_magic_microseconds = 0xA1B2C3D4;
constexpr std::uint16_t pcap_version_major = 2;
constexpr std::uint16_t pcap_version_minor = 4;
constexpr std::uint32_t pcap_snapshot_length = tarnwell::MAX_ETHER_FRAME;
constexpr std::uint32_t pcap_linktype_ethernet = 1;

constexpr std::size_t global_header_size = 24;
constexpr std::size_t record_header_size = 16;

// The file is little-endian whatever the host, so fields are laid out byte by byte.
void put_le16(std::uint8_t* out, std::uint16_t value)
{
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

void put_le32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Shared by every storage of the process: records of different files are serialised too,
// which keeps the timeline (also process-wide) consistent with the order of writes.
std::mutex& capture_mutex()
{
    static std::mutex mutex;
    return mutex;
}

capture_timeline& process_timeline()
{
    static capture_timeline timeline;
    return timeline;
}

std::int64_t steady_now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t wall_now_seconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Caller holds the capture mutex.
void write_record_locked(std::ofstream& out, const tarnwell::INTERMEDIATE_BUFFER& buffer,
                         capture_timestamp time)
{
    const std::uint32_t original_length = buffer.length;
    const std::uint32_t captured_length =
        std::min<std::uint32_t>(original_length, static_cast<std::uint32_t>(sizeof(buffer.frame)));

    std::array<std::uint8_t, record_header_size> header{};
    put_le32(&header[0], time.seconds);
    put_le32(&header[4], time.microseconds);
    put_le32(&header[8], captured_length);
    put_le32(&header[12], original_length);
    out.write(reinterpret_cast<const char*>(header.data()), header.size());
    out.write(reinterpret_cast<const char*>(buffer.frame), captured_length);
}

}  // namespace

pcap_file_storage::pcap_file_storage(const std::string& file_name)
    : std::ofstream(file_name, std::ios::out | std::ios::binary | std::ios::trunc)
{
    if (!good())
        return;
    std::array<std::uint8_t, global_header_size> header{};
    put_le32(&header[0], pcap_magic_microseconds);
    put_le16(&header[4], pcap_version_major);
    put_le16(&header[6], pcap_version_minor);
    put_le32(&header[8], 0);   // time zone correction: timestamps are UTC
    put_le32(&header[12], 0);  // timestamp accuracy
    put_le32(&header[16], pcap_snapshot_length);
    put_le32(&header[20], pcap_linktype_ethernet);
    write(reinterpret_cast<const char*>(header.data()), header.size());
}

pcap_file_storage::~pcap_file_storage()
{
    try {
        if (is_open()) {
            flush();
            close();
        }
    } catch (...) {
        // A stream with exceptions enabled may throw on a failed flush; a destructor must not.
    }
}

void pcap_file_storage::write_record(const tarnwell::INTERMEDIATE_BUFFER& buffer, capture_timestamp time)
{
    std::lock_guard lock(capture_mutex());
    write_record_locked(*this, buffer, time);
}

pcap_file_storage& operator<<(pcap_file_storage& storage, const tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    std::lock_guard lock(capture_mutex());
    const capture_timestamp time = process_timeline().stamp(steady_now_ns(), wall_now_seconds);
    write_record_locked(storage, buffer, time);
    return storage;
}

}  // namespace pcap
