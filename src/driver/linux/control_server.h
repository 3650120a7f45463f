#pragma once
// The control device of the Linux host: a SOCK_SEQPACKET Unix socket. One connection is one
// open handle of the core. A request is one message: u32 control code, u32 output length,
// the input bytes; the reply is one message: u32 status, u32 bytes returned, that many
// output bytes (little-endian, as the host is).
//
// Threads: an accept thread, and one thread per connection that serves that connection's
// requests in order, so a slow request of one handle never stalls another handle.
// Owned by main(); start/stop are called from main only.

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "driver/driver.h"

namespace corvflt::linux_host {

class control_server {
public:
    // The largest system buffer (max of input and output length) one request may ask for.
    // WAN_LINKS (530436 bytes) is the largest fixed record; this leaves room for big filter
    // tables without letting a caller make the daemon allocate gigabytes.
    static constexpr std::uint32_t max_system_buffer = 8u << 20;

    explicit control_server(driver& core);
    ~control_server();
    control_server(const control_server&) = delete;
    control_server& operator=(const control_server&) = delete;

    // Creates `directory` if needed, replaces a stale socket and starts accepting. Refuses
    // (false, `error`) when another daemon still answers on the socket.
    bool start(const std::string& directory, std::string* error);
    // Closes the listening socket and every connection (each one's handle is closed in
    // the core), joins the threads and removes the socket file.
    void stop();

    const std::string& path() const { return path_; }

private:
    struct connection;
    void accept_loop();
    void serve(connection* c);
    void reap_finished();

    driver& core_;
    std::string path_;
    int listen_fd_ = -1;
    int stop_fd_ = -1;
    std::thread accept_thread_;
    std::mutex mutex_;
    std::list<std::unique_ptr<connection>> connections_;  // guarded by mutex_
    bool stopping_ = false;                               // guarded by mutex_
};

}  // namespace corvflt::linux_host
