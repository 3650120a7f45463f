#pragma once
// The control device of the Linux host: a SOCK_SEQPACKET Unix socket. One connection is one
// open handle of the core. A request is one message: u32 control code, u32 output length,
// the input bytes; the reply is u32 status, u32 bytes returned, then that many output bytes
// (little-endian, as the host is), in one message when it fits in `reply_chunk` and
// otherwise continued in further messages of output bytes only.
//
// A privilege boundary, as the Windows driver's device is: the directory and socket are
// root's alone, only uid 0 may connect, and each connection is bound at accept to the
// process (and address space) that connected (caller.h).
//
// Threads: an accept thread, and one thread per connection that serves that connection's
// requests in order, so a slow request of one handle never stalls another handle.
// Owned by main(); start/stop are called from main only.

#include <cstddef>
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
    // Output bytes per reply message: well inside the send buffer, and small enough that
    // the kernel never needs one large contiguous allocation for a message.
    static constexpr std::uint32_t reply_chunk = 64u << 10;
    // Open handles at once. Each costs a thread and, once used, up to max_system_buffer of
    // memory; connections beyond this are closed at accept.
    static constexpr std::uint32_t default_max_connections = 64;

    explicit control_server(driver& core, std::uint32_t max_connections = default_max_connections);
    ~control_server();
    control_server(const control_server&) = delete;
    control_server& operator=(const control_server&) = delete;

    // Creates `directory` (0700) if needed, refuses one that is not root's alone, replaces
    // a stale socket and starts accepting. Refuses (false, `error`) when another daemon
    // still answers on the socket.
    bool start(const std::string& directory, std::string* error);
    // Closes the listening socket and every connection (each one's handle is closed in
    // the core), joins the threads and removes the socket file.
    void stop();

    const std::string& path() const { return path_; }
    // Handles still open. A peer's close ends its handle only once that connection's thread
    // has read the end, a moment later; until then it still counts against the cap.
    std::size_t open_connections();

private:
    struct connection;
    void accept_loop();
    void accept_one(int fd);
    // Replies without output bytes that wait while the requests already queued behind them
    // are served: a client that posted a request (platform::control_device::post) and then
    // sent its next one wakes once for both replies instead of once for each.
    struct held_replies {
        static constexpr std::uint32_t capacity = 16;
        std::uint32_t statuses[capacity];
        std::uint32_t count = 0;
    };

    void serve(connection* c);
    void reap_finished();
    bool send_reply(connection* c, std::uint32_t status, std::uint32_t bytes);
    bool send_held(connection* c, held_replies& held);

    driver& core_;
    const std::uint32_t max_connections_;
    std::string path_;
    int listen_fd_ = -1;
    int stop_fd_ = -1;
    std::thread accept_thread_;
    std::mutex mutex_;
    std::list<std::unique_ptr<connection>> connections_;  // guarded by mutex_
    bool stopping_ = false;                               // guarded by mutex_
    std::uint64_t refused_ = 0;                           // accept thread only
};

}  // namespace corvflt::linux_host
