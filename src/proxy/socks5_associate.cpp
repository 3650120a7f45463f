#include "proxy/socks5_associate.h"

#include <algorithm>
#include <string>

#include "proxy/upstream_answers.h"

namespace proxy {
namespace {

constexpr const char* prefix = "socks5_udp_proxy_server: ";
// How often a wait looks at the cancel flag; stopping the server also shuts the socket down,
// which ends a wait at once where the system supports it.
constexpr std::uint32_t cancel_slice_ms = 100;

// Reads until `data` holds `want` bytes; `have` counts what is there already.
std::uint32_t receive_exactly(platform::socket_handle s, std::uint8_t* data, std::size_t& have,
                              std::size_t want, std::chrono::steady_clock::time_point deadline,
                              const std::atomic<bool>* cancel)
{
    while (have < want) {
        if (cancel && cancel->load())
            return platform::error_operation_aborted;
        const std::uint32_t left = milliseconds_until(deadline);
        if (left == 0)
            return platform::error_timed_out;
        std::size_t got = 0;
        const std::uint32_t e =
            platform::receive_some(s, data + have, want - have, got, std::min(left, cancel_slice_ms));
        if (e == platform::error_timed_out)
            continue;
        if (e != 0)
            return e;
        if (got == 0)
            return platform::error_connection_aborted;
        have += got;
    }
    return 0;
}

// The requests are a few bytes on a fresh connection: they never wait for room, so the
// deadline alone bounds them.
std::uint32_t send_request(platform::socket_handle s, const std::uint8_t* data, std::size_t length,
                           std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* cancel)
{
    if (cancel && cancel->load())
        return platform::error_operation_aborted;
    const std::uint32_t left = milliseconds_until(deadline);
    if (left == 0)
        return platform::error_timed_out;
    return platform::send_all(s, data, length, left);
}

}  // namespace

std::uint32_t milliseconds_until(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0)
        return 0;
    return left >= platform::wait_forever ? platform::wait_forever - 1 : static_cast<std::uint32_t>(left);
}

std::optional<std::uint16_t> associate_to_socks5_proxy(platform::socket_handle s, const log_printer& printer,
                                                       log_level level,
                                                       std::chrono::steady_clock::time_point deadline,
                                                       const std::atomic<bool>* cancel)
{
    const bool logs = level == log_level::all && static_cast<bool>(printer);
    auto log = [&](const char* text, const std::string& tail = {}) {
        if (logs)
            log_with_prefix(printer, prefix, std::string(text) + tail);
    };

    static constexpr std::uint8_t ident_req[3] = {5, 1, 0x00};
    std::uint32_t e = send_request(s, ident_req, sizeof ident_req, deadline, cancel);
    if (e != 0) {
        log("associate_to_socks5_proxy: Failed to send socks5_ident_req: ", std::to_string(e));
        return std::nullopt;
    }
    std::uint8_t ident_resp[2] = {};
    std::size_t have = 0;
    e = receive_exactly(s, ident_resp, have, sizeof ident_resp, deadline, cancel);
    if (e != 0) {
        log("associate_to_socks5_proxy: Failed to receive socks5_ident_resp: ", std::to_string(e));
        return std::nullopt;
    }
    if (ident_resp[0] != 5 || ident_resp[1] == 0xFF) {
        log("associate_to_socks5_proxy: SOCKS5 authentication has failed: ");
        return std::nullopt;
    }
    static constexpr std::uint8_t request[10] = {5, 3, 0, 1, 0, 0, 0, 0, 0, 0};
    e = send_request(s, request, sizeof request, deadline, cancel);
    if (e != 0) {
        log("associate_to_socks5_proxy: Failed to send SOCKS5 ASSOCIATE request: ", std::to_string(e));
        return std::nullopt;
    }
    // The reply's length depends on its address type; read exactly that much.
    std::uint8_t reply[socks5_reply_maximum] = {};
    have = 0;
    e = receive_exactly(s, reply, have, socks5_reply_minimum, deadline, cancel);
    const int length = e == 0 ? socks5_reply_length(reply, have) : 0;
    if (e == 0 && length > 0)
        e = receive_exactly(s, reply, have, static_cast<std::size_t>(length), deadline, cancel);
    if (e != 0) {
        log("associate_to_socks5_proxy: Failed to receive SOCKS5 ASSOCIATE response: ", std::to_string(e));
        return std::nullopt;
    }
    if (reply[0] != 5 || reply[1] != 0 || length < 0) {
        log("associate_to_socks5_proxy: SOCKS5 ASSOCIATE has failed: ");
        return std::nullopt;
    }
    const std::uint16_t port =
        static_cast<std::uint16_t>((reply[static_cast<std::size_t>(length) - 2] << 8) |
                                   reply[static_cast<std::size_t>(length) - 1]);
    log("associate_to_socks5_proxy: SOCKS5 ASSOCIATE SUCCESS port: ", std::to_string(port));
    return port;
}

}  // namespace proxy
