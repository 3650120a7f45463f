#pragma once
// IPv4 sockets with completion-shaped (overlapped) operations. One header, one backend per OS.
//
// Error vocabulary: every function reports errors as Win32/Winsock error numbers on both
// backends (Linux translates errno at the edge), so callers and logs read the same codes.
//
// Overlapped operations (post_*): the caller owns an `overlapped` record, normally the first
// member of its own per-operation record, and recovers that record from the pointer the
// completion port hands back. A post returns
//   - 0 (succeeded at once) or error_io_pending: the operation WILL complete exactly once
//     through the completion port the socket is associated with, with (bytes, overlapped,
//     success). Immediate successes are delivered through the port too, never inline.
//   - any other error: it failed at once and no completion will follow.
// The overlapped record, the buffer bytes and (for receive_from) the address and its length
// must stay valid until the completion is dequeued. The io_buffer itself and a send_to
// destination are copied at the call.
//
// Behaviour fixed for both backends:
// - A send completes when all bytes were handed to the stack (or with failure); a receive
//   completes with whatever is available (at least 1 byte), or with 0 bytes at end of stream.
// - close_socket() completes every operation still outstanding on the socket with failure
//   (error_operation_aborted on Linux; Windows reports 995 or, under Wine, 676 translated to
//   995), then releases the handle. close_socket() also wakes a thread blocked in
//   accept_socket() on that socket, which then fails.
// - Operations are only valid on a socket associated with a completion port; on Linux a post
//   on an unassociated socket fails at once with error_not_socket.
//
// Thread safety: any function may be called from any thread; one socket may have one receive
// and one send outstanding at the same time (more are queued in order on Linux).

#include <cstddef>
#include <cstdint>

#include "platform/inet_types.h"
#include "platform/win32_errors.h"

namespace platform {

// SOCKET on Windows, a file descriptor on Linux.
using socket_handle = std::uintptr_t;
inline constexpr socket_handle invalid_socket = ~socket_handle{0};

// Error numbers (error_success, error_io_pending, error_would_block, ...): platform/win32_errors.h.

// True when a post_* result means "a completion will follow".
inline constexpr bool completion_follows(std::uint32_t result)
{
    return result == error_success || result == error_io_pending;
}

// Laid out like WSABUF (the Windows backend passes it through unchanged).
struct io_buffer {
    std::uint32_t length = 0;
    char* buffer = nullptr;
};

// Room for the OS's own record of one outstanding operation (OVERLAPPED on Windows, the
// emulation's queued operation on Linux). Opaque; zero it (value-initialise) before first use.
struct overlapped {
    alignas(8) unsigned char opaque[96];
};

// Big enough for any socket address (sockaddr_storage is 128 bytes on both systems).
struct socket_address {
    alignas(8) unsigned char bytes[128];
};
inline constexpr int socket_address_capacity = 128;

// An AF_INET address; `port` in host order. Returns the length to pass to send_to.
int make_ipv4_address(socket_address& out, const in_addr& address, std::uint16_t port);
// Reads an AF_INET address; false for any other family or a short length.
bool read_ipv4_address(const socket_address& in, int length, in_addr& address,
                       std::uint16_t& port);

// An AF_INET6 address (flow information and scope 0); `port` in host order. Returns the
// length to pass to send_to.
int make_ipv6_address(socket_address& out, const std::uint8_t (&address)[16], std::uint16_t port);
// Reads an AF_INET6 address; false for any other family or a short length.
bool read_ipv6_address(const socket_address& in, int length, std::uint8_t (&address)[16],
                       std::uint16_t& port);

// Creates an overlapped, non-inheritable socket; invalid_socket and `error` set on failure.
// Starts the socket library on first use (Windows).
socket_handle open_tcp_socket(std::uint32_t& error);
socket_handle open_udp_socket(std::uint32_t& error);
// An IPv6 UDP socket that carries IPv6 only (no IPv4-mapped traffic), on both systems.
socket_handle open_udp6_socket(std::uint32_t& error);

std::uint32_t bind_ipv4(socket_handle s, const in_addr& address, std::uint16_t port);
// Binds an IPv6 socket to the unspecified address (::), port 0.
std::uint32_t bind_ipv6_any(socket_handle s);
// Binds a TCP socket that is about to connect to 0.0.0.0, port 0, leaving the choice of the
// port to the connect. A plain bind to port 0 takes a port no other socket holds, so a relay
// making thousands of outgoing connections a minute runs out of ephemeral ports while the
// closed ones sit in TIME_WAIT; deferred, the port only has to be unique per destination.
std::uint32_t bind_any_for_connect(socket_handle s);
// `backlog` below 0 means the system's maximum (SOMAXCONN).
std::uint32_t listen_socket(socket_handle s, int backlog = -1);
// The bound local port (host order).
std::uint32_t local_port(socket_handle s, std::uint16_t& port);
std::uint32_t peer_ipv4(socket_handle s, in_addr& address, std::uint16_t& port);
std::uint32_t set_non_blocking(socket_handle s);
// Sets TCP_NODELAY; relays use it so that small writes are not held back twice.
std::uint32_t set_no_delay(socket_handle s);

// Blocks until a connection arrives or the listening socket is closed. The accepted socket
// is overlapped like its listener.
socket_handle accept_socket(socket_handle listening, std::uint32_t& error);

// The record of one posted accept, owned by the caller like the overlapped record until the
// completion: the socket the connection arrives in, and room for what AcceptEx reports
// besides (both ends' addresses). Zero-initialise before first use.
struct accept_buffer {
    socket_handle accepted = invalid_socket;
    alignas(8) unsigned char addresses[96];
};

// Posts an accept on a listening socket associated with a completion port; it completes
// (0 bytes) when a connection has been accepted into `buffer`. Several may be outstanding on
// one listener. Closing the listener ends them with failure.
std::uint32_t post_accept(socket_handle listening, accept_buffer& buffer, overlapped* ov);
// Call once a post_accept completed, with its success flag: the accepted connection, which
// the caller owns from here, or invalid_socket for a failed accept. Either way `buffer` is
// ready for the next post. (Windows accepts into a socket it opens at the post and gives it
// its listener's properties here; Linux accepts at completion.)
socket_handle take_accepted(socket_handle listening, accept_buffer& buffer, bool succeeded);
// Closes whatever `buffer` holds, for an accept that will never be taken (its listener is
// closed and its completion will not be dequeued).
void discard_accept(accept_buffer& buffer);

// Starts a connect. 0 when connected at once, error_would_block while it goes on (on a
// non-blocking socket), else the error.
std::uint32_t connect_ipv4(socket_handle s, const in_addr& address, std::uint16_t port);

// Starts a connect that completes through the completion port like any other operation
// (ConnectEx on Windows; the Linux emulation waits for the socket to turn writable). The
// socket must be bound (bind_any_for_connect) and associated. The completion carries 0 bytes
// and success, or failure with the connect's error (10061 refused, 10060 timed out, 995 when
// the socket was closed first). As with every post, an error other than error_io_pending
// means it failed at once and nothing completes.
std::uint32_t post_connect(socket_handle s, const in_addr& address, std::uint16_t port,
                           overlapped* ov);
// Call once a post_connect completed successfully, before anything else uses the socket:
// Windows gives a ConnectEx socket its connected state only here (without it getpeername
// and shutdown fail). Nothing to do on Linux.
std::uint32_t complete_connect(socket_handle s);

// Shuts down both directions; errors are ignored (the socket may never have connected).
void shutdown_socket(socket_handle s);
// See the header comment: completes outstanding operations with failure, then closes.
void close_socket(socket_handle s);
// Both of the above: how the proxies close a connection's socket. On Linux a socket
// associated with a completion port is only closed, which ends the connection the same way
// (FIN, or RST with unread data) without the shutdown's wake-up of the port.
void shutdown_and_close(socket_handle s);

std::uint32_t post_receive(socket_handle s, const io_buffer& buffer, overlapped* ov);
std::uint32_t post_send(socket_handle s, const io_buffer& buffer, overlapped* ov);
// `address_length` must hold the capacity of `from` (socket_address_capacity) when posted;
// it holds the sender's address length when the operation completes successfully.
std::uint32_t post_receive_from(socket_handle s, const io_buffer& buffer, socket_address* from,
                                int* address_length, overlapped* ov);
std::uint32_t post_send_to(socket_handle s, const io_buffer& buffer, const socket_address& to,
                           int address_length, overlapped* ov);

// Blocking helpers for short synchronous exchanges (a SOCKS5 ASSOCIATE on its own thread,
// test peers). They work whether or not the socket is non-blocking. `timeout_ms` may be
// wait_forever. A timeout fails with error_timed_out.
inline constexpr std::uint32_t wait_forever = 0xFFFFFFFFu;
std::uint32_t connect_ipv4_wait(socket_handle s, const in_addr& address, std::uint16_t port,
                                std::uint32_t timeout_ms);
// Sends all `length` bytes.
std::uint32_t send_all(socket_handle s, const void* data, std::size_t length,
                       std::uint32_t timeout_ms);
// Receives 1..length bytes into `data`; `received` 0 means end of stream.
std::uint32_t receive_some(socket_handle s, void* data, std::size_t length,
                           std::size_t& received, std::uint32_t timeout_ms);
// Makes the next close send a reset instead of a graceful end (SO_LINGER 0).
std::uint32_t set_abortive_close(socket_handle s);

}  // namespace platform
