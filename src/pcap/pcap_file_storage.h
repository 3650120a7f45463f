#pragma once
// A classic libpcap capture file (microsecond timestamps, Ethernet link type) that the
// gateways write every frame into at the most verbose log level.

#include "pcap/capture_timeline.h"
#include "tarnwell/control_interface.h"

#include <fstream>
#include <string>

namespace pcap {

// The file stream itself; it owns nothing else. Created by a gateway through std::make_shared
// and shared with the parts that record frames on its behalf (the DNS proxy service); the
// file closes when the last reference goes. Records come from packet filter and completion
// port threads at once: one process-wide mutex keeps each record contiguous, across all
// storages of the process.
//
// Failures are silent by design: a file that cannot be opened gets no header and every later
// write fails on the stream's error state, so capture never stops the gateway.
class pcap_file_storage : public std::ofstream {
public:
    // Opens `file_name` for binary output, emptying an existing file, and writes the 24-byte
    // global header when the open succeeded.
    explicit pcap_file_storage(const std::string& file_name);

    // Flushes and closes; errors while closing are swallowed.
    ~pcap_file_storage() override;

    pcap_file_storage(const pcap_file_storage&) = delete;
    pcap_file_storage& operator=(const pcap_file_storage&) = delete;

    // One record at an explicit time, under the capture mutex. The product path is the
    // operator<< below, which takes the time from the process-wide capture timeline.
    void write_record(const tarnwell::INTERMEDIATE_BUFFER& buffer, capture_timestamp time);
};

// Records `buffer`'s frame, stamped with the process-wide capture timeline (anchored at the
// first record of the process, millisecond resolution).
//
// The record holds min(buffer.length, 1514) frame bytes as its captured length and
// buffer.length as its original length: a buffer that claims more than it can hold is never
// read past its end, and a capture tool shows the frame as truncated instead of misreading
// the rest of the file.
pcap_file_storage& operator<<(pcap_file_storage& storage, const tarnwell::INTERMEDIATE_BUFFER& buffer);

}  // namespace pcap
