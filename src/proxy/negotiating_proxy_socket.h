#pragma once
// The part the two upstream-proxy relays share: one negotiation exchange on the remote socket
// before the relay starts, with its own read and write operation records.
//
// Owned and driven like tcp_proxy_socket (created and started by the TCP server's connect
// thread, completions on the port's workers, everything under `mutex_`). While negotiating,
// an outstanding negotiation write keeps the remote send window non-zero and an outstanding
// negotiation read the remote receive window, so the server's cleanup pass cannot destroy the
// object under an operation still in flight.
//
// Only one write is ever outstanding: a write asked for while the previous one has not
// completed yet (its completion can be dequeued after the peer's answer to it) waits and is
// posted by that completion. For the same reason the relay starts only after the last
// negotiation write completed: the relay's own remote sends use the same window.

#include <cstdint>

#include "proxy/tcp_proxy_socket.h"

namespace proxy {

class negotiating_proxy_socket : public tcp_proxy_socket {
public:
    using tcp_proxy_socket::tcp_proxy_socket;

    // Slot 3: the write finished; posts a write that waited for it.
    void process_send_negotiate_complete(std::uint32_t bytes, per_io_context* ctx) override;

    std::uint32_t negotiate_state();

protected:
    // The caller holds mutex_. `data` must stay valid until the write completes (the
    // object's own records). Closes the remote socket on an immediate failure.
    void send_negotiate_locked(const char* data, std::uint32_t length);
    // Reads up to `length` bytes into `into`; closes the remote socket on an immediate
    // failure. Nothing is posted once the remote socket is closed.
    void receive_negotiate_locked(char* into, std::uint32_t length);
    // The first thing a read completion does: its operation is over.
    void negotiate_read_done_locked() { remote_receive_window_.length = 0; }
    // The negotiation succeeded: starts the relay now, or when the last write completes.
    void relay_when_written_locked();
    // Starts the relay; the caller holds mutex_. HTTP adds the bytes that followed the
    // proxy's answer.
    virtual void begin_relay_locked() { start_relay_locked(); }
    // Closes the remote socket without forgetting a read still outstanding on it: that read
    // completes with failure and clears its window itself.
    void fail_negotiation_locked();

    per_io_context negotiate_read_context_{io_kind::negotiate_read, this, false};
    per_io_context negotiate_write_context_{io_kind::negotiate_write, this, false};
    std::uint32_t negotiate_state_ = 0;

private:
    const char* waiting_write_ = nullptr;
    std::uint32_t waiting_write_length_ = 0;
    bool relay_waiting_ = false;
};

}  // namespace proxy
