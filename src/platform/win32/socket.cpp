#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace platform {
namespace {

static_assert(sizeof(io_buffer) == sizeof(WSABUF));
static_assert(offsetof(io_buffer, length) == offsetof(WSABUF, len));
static_assert(offsetof(io_buffer, buffer) == offsetof(WSABUF, buf));
static_assert(sizeof(OVERLAPPED) <= sizeof(overlapped));
static_assert(sizeof(socket_address) >= sizeof(SOCKADDR_STORAGE));

// Winsock is started once for the process and never stopped: sockets may be closed by
// objects with static lifetime while the process exits.
void ensure_started()
{
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

SOCKET sock(socket_handle s) { return static_cast<SOCKET>(s); }

std::uint32_t last_error() { return static_cast<std::uint32_t>(::WSAGetLastError()); }

// A fresh OVERLAPPED in the caller's record for every operation: the kernel keeps its
// status there.
OVERLAPPED* fresh(overlapped* ov) { return ::new (static_cast<void*>(ov->opaque)) OVERLAPPED{}; }

std::uint32_t result_of(int r) { return r == 0 ? 0 : last_error(); }

sockaddr_in ipv4(const in_addr& address, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

socket_handle open_socket(int type, int protocol, std::uint32_t& error, int family = AF_INET)
{
    ensure_started();
    SOCKET s = ::WSASocketW(family, type, protocol, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = last_error();
        return invalid_socket;
    }
    error = 0;
    return static_cast<socket_handle>(s);
}

class deadline {
public:
    explicit deadline(std::uint32_t timeout_ms)
        : infinite_(timeout_ms == wait_forever),
          end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms))
    {
    }
    // select() timeout; null for forever.
    timeval* left(timeval& tv) const
    {
        if (infinite_)
            return nullptr;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            end_ - std::chrono::steady_clock::now()).count();
        if (ms < 0)
            ms = 0;
        tv.tv_sec = static_cast<long>(ms / 1000);
        tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
        return &tv;
    }

private:
    bool infinite_;
    std::chrono::steady_clock::time_point end_;
};

// Waits until `s` is readable (or writable); 0, error_timed_out or an error.
std::uint32_t wait_for(socket_handle s, bool write, const deadline& until)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock(s), &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(sock(s), &errors);
    timeval tv;
    const int r = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, until.left(tv));
    if (r == 0)
        return error_timed_out;
    return r < 0 ? last_error() : 0;
}

}  // namespace

socket_handle open_tcp_socket(std::uint32_t& error) { return open_socket(SOCK_STREAM, IPPROTO_TCP, error); }
socket_handle open_udp_socket(std::uint32_t& error) { return open_socket(SOCK_DGRAM, IPPROTO_UDP, error); }

socket_handle open_udp6_socket(std::uint32_t& error)
{
    // IPV6_V6ONLY is on by default on Windows; set anyway so both systems behave alike.
    const socket_handle s = open_socket(SOCK_DGRAM, IPPROTO_UDP, error, AF_INET6);
    DWORD one = 1;
    if (s != invalid_socket &&
        ::setsockopt(static_cast<SOCKET>(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one),
                     sizeof one) != 0) {
        error = last_error();
        ::closesocket(static_cast<SOCKET>(s));
        return invalid_socket;
    }
    return s;
}

std::uint32_t bind_ipv6_any(socket_handle s)
{
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    return result_of(::bind(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

std::uint32_t bind_ipv4(socket_handle s, const in_addr& address, std::uint16_t port)
{
    const sockaddr_in sa = ipv4(address, port);
    return result_of(::bind(sock(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

std::uint32_t bind_any_for_connect(socket_handle s)
{
    // SO_REUSE_UNICASTPORT (Windows 10 and later; older headers lack the name): the port is
    // chosen at connect time and may be shared across destinations. Best effort.
    constexpr int reuse_unicast_port = 0x3007;
    DWORD one = 1;
    ::setsockopt(sock(s), SOL_SOCKET, reuse_unicast_port, reinterpret_cast<const char*>(&one), sizeof one);
    return bind_ipv4(s, in_addr{}, 0);
}

std::uint32_t listen_socket(socket_handle s, int backlog)
{
    return result_of(::listen(sock(s), backlog < 0 ? SOMAXCONN : backlog));
}

std::uint32_t local_port(socket_handle s, std::uint16_t& port)
{
    sockaddr_in sa{};
    int len = sizeof sa;
    if (::getsockname(sock(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return last_error();
    port = ntohs(sa.sin_port);
    return 0;
}

std::uint32_t peer_ipv4(socket_handle s, in_addr& address, std::uint16_t& port)
{
    sockaddr_in sa{};
    int len = sizeof sa;
    if (::getpeername(sock(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return last_error();
    if (sa.sin_family != AF_INET)
        return WSAEAFNOSUPPORT;
    address = sa.sin_addr;
    port = ntohs(sa.sin_port);
    return 0;
}

std::uint32_t set_non_blocking(socket_handle s)
{
    u_long one = 1;
    return result_of(::ioctlsocket(sock(s), FIONBIO, &one));
}

std::uint32_t set_no_delay(socket_handle s)
{
    BOOL one = TRUE;
    return result_of(::setsockopt(sock(s), IPPROTO_TCP, TCP_NODELAY,
                                  reinterpret_cast<const char*>(&one), sizeof one));
}

socket_handle accept_socket(socket_handle listening, std::uint32_t& error)
{
    SOCKET c = ::WSAAccept(sock(listening), nullptr, nullptr, nullptr, 0);
    if (c == INVALID_SOCKET) {
        error = last_error();
        return invalid_socket;
    }
    error = 0;
    return static_cast<socket_handle>(c);
}

std::uint32_t connect_ipv4(socket_handle s, const in_addr& address, std::uint16_t port)
{
    const sockaddr_in sa = ipv4(address, port);
    return result_of(::connect(sock(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

void shutdown_socket(socket_handle s) { ::shutdown(sock(s), SD_BOTH); }

void close_socket(socket_handle s) { ::closesocket(sock(s)); }

void shutdown_and_close(socket_handle s)
{
    ::shutdown(sock(s), SD_BOTH);
    ::closesocket(sock(s));
}

std::uint32_t post_receive(socket_handle s, const io_buffer& buffer, overlapped* ov)
{
    WSABUF b{buffer.length, buffer.buffer};
    DWORD flags = 0;
    return result_of(::WSARecv(sock(s), &b, 1, nullptr, &flags, fresh(ov), nullptr));
}

std::uint32_t post_send(socket_handle s, const io_buffer& buffer, overlapped* ov)
{
    WSABUF b{buffer.length, buffer.buffer};
    return result_of(::WSASend(sock(s), &b, 1, nullptr, 0, fresh(ov), nullptr));
}

namespace {

// ConnectEx and AcceptEx are extensions of the TCP provider, looked up through a socket once
// for the process (every socket here comes from the same provider).
template <class Function>
Function extension(SOCKET s, GUID id)
{
    Function found = nullptr;
    DWORD bytes = 0;
    if (::WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &found, sizeof found,
                   &bytes, nullptr, nullptr) != 0)
        return nullptr;
    return found;
}

LPFN_CONNECTEX connect_ex(SOCKET s)
{
    static LPFN_CONNECTEX function = nullptr;
    static std::once_flag once;
    std::call_once(once, [s] { function = extension<LPFN_CONNECTEX>(s, WSAID_CONNECTEX); });
    return function;
}

LPFN_ACCEPTEX accept_ex(SOCKET s)
{
    static LPFN_ACCEPTEX function = nullptr;
    static std::once_flag once;
    std::call_once(once, [s] { function = extension<LPFN_ACCEPTEX>(s, WSAID_ACCEPTEX); });
    return function;
}

// AcceptEx wants room for each address plus 16 bytes.
constexpr DWORD accept_address_room = sizeof(sockaddr_in6) + 16;
static_assert(2 * accept_address_room <= sizeof(accept_buffer::addresses));

}  // namespace

std::uint32_t post_connect(socket_handle s, const in_addr& address, std::uint16_t port,
                           overlapped* ov)
{
    const LPFN_CONNECTEX connect = connect_ex(sock(s));
    if (!connect)
        return error_invalid_argument;
    const sockaddr_in sa = ipv4(address, port);
    if (connect(sock(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa, nullptr, 0, nullptr, fresh(ov)))
        return 0;
    return last_error();
}

std::uint32_t complete_connect(socket_handle s)
{
    return result_of(::setsockopt(sock(s), SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0));
}

std::uint32_t post_accept(socket_handle listening, accept_buffer& buffer, overlapped* ov)
{
    const LPFN_ACCEPTEX accept = accept_ex(sock(listening));
    if (!accept)
        return error_invalid_argument;
    // AcceptEx fills a socket opened beforehand.
    std::uint32_t error = 0;
    if (buffer.accepted == invalid_socket &&
        (buffer.accepted = open_socket(SOCK_STREAM, IPPROTO_TCP, error)) == invalid_socket)
        return error;
    DWORD bytes = 0;
    if (accept(sock(listening), sock(buffer.accepted), buffer.addresses, 0, accept_address_room,
               accept_address_room, &bytes, fresh(ov)))
        return 0;
    error = last_error();
    if (error != error_io_pending)
        discard_accept(buffer);
    return error;
}

socket_handle take_accepted(socket_handle listening, accept_buffer& buffer, bool succeeded)
{
    const SOCKET l = sock(listening);
    if (succeeded && buffer.accepted != invalid_socket &&
        ::setsockopt(sock(buffer.accepted), SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                     reinterpret_cast<const char*>(&l), sizeof l) == 0)
        return std::exchange(buffer.accepted, invalid_socket);
    discard_accept(buffer);
    return invalid_socket;
}

void discard_accept(accept_buffer& buffer)
{
    const socket_handle s = std::exchange(buffer.accepted, invalid_socket);
    if (s != invalid_socket)
        ::closesocket(sock(s));
}

std::uint32_t post_receive_from(socket_handle s, const io_buffer& buffer, socket_address* from,
                                int* address_length, overlapped* ov)
{
    if (!from || !address_length || *address_length < 0)
        return error_invalid_argument;
    WSABUF b{buffer.length, buffer.buffer};
    DWORD flags = 0;
    return result_of(::WSARecvFrom(sock(s), &b, 1, nullptr, &flags,
                                   reinterpret_cast<sockaddr*>(from->bytes), address_length,
                                   fresh(ov), nullptr));
}

std::uint32_t post_send_to(socket_handle s, const io_buffer& buffer, const socket_address& to,
                           int address_length, overlapped* ov)
{
    WSABUF b{buffer.length, buffer.buffer};
    return result_of(::WSASendTo(sock(s), &b, 1, nullptr, 0,
                                 reinterpret_cast<const sockaddr*>(to.bytes), address_length,
                                 fresh(ov), nullptr));
}

std::uint32_t connect_ipv4_wait(socket_handle s, const in_addr& address, std::uint16_t port,
                                std::uint32_t timeout_ms)
{
    const deadline until(timeout_ms);
    u_long one = 1;
    ::ioctlsocket(sock(s), FIONBIO, &one);
    std::uint32_t e = connect_ipv4(s, address, port);
    if (e != error_would_block)
        return e;
    if ((e = wait_for(s, true, until)) != 0)
        return e;
    int so_error = 0;
    int len = sizeof so_error;
    if (::getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0)
        return last_error();
    return static_cast<std::uint32_t>(so_error);
}

std::uint32_t send_all(socket_handle s, const void* data, std::size_t length,
                       std::uint32_t timeout_ms)
{
    const deadline until(timeout_ms);
    u_long one = 1;
    ::ioctlsocket(sock(s), FIONBIO, &one);
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const int chunk = length > 0x40000000u ? 0x40000000 : static_cast<int>(length);
        const int n = ::send(sock(s), p, chunk, 0);
        if (n >= 0) {
            p += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (::WSAGetLastError() != WSAEWOULDBLOCK)
            return last_error();
        if (const std::uint32_t e = wait_for(s, true, until); e != 0)
            return e;
    }
    return 0;
}

std::uint32_t receive_some(socket_handle s, void* data, std::size_t length,
                           std::size_t& received, std::uint32_t timeout_ms)
{
    const deadline until(timeout_ms);
    u_long one = 1;
    ::ioctlsocket(sock(s), FIONBIO, &one);
    received = 0;
    const int chunk = length > 0x40000000u ? 0x40000000 : static_cast<int>(length);
    for (;;) {
        const int n = ::recv(sock(s), static_cast<char*>(data), chunk, 0);
        if (n >= 0) {
            received = static_cast<std::size_t>(n);
            return 0;
        }
        if (::WSAGetLastError() != WSAEWOULDBLOCK)
            return last_error();
        if (const std::uint32_t e = wait_for(s, false, until); e != 0)
            return e;
    }
}

std::uint32_t set_abortive_close(socket_handle s)
{
    linger l{1, 0};
    return result_of(::setsockopt(sock(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                                  sizeof l));
}

}  // namespace platform
