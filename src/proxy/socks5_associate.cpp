#include "proxy/socks5_associate.h"

#include <string>

#include "proxy/upstream_answers.h"

namespace proxy {
namespace {

constexpr const char* prefix = "socks5_udp_proxy_server: ";

// Reads until `data` holds `want` bytes; `have` counts what is there already.
std::uint32_t receive_exactly(platform::socket_handle s, std::uint8_t* data, std::size_t& have,
                              std::size_t want, std::uint32_t timeout_ms)
{
    while (have < want) {
        std::size_t got = 0;
        const std::uint32_t e = platform::receive_some(s, data + have, want - have, got, timeout_ms);
        if (e != 0)
            return e;
        if (got == 0)
            return platform::error_connection_aborted;
        have += got;
    }
    return 0;
}

}  // namespace

std::optional<std::uint16_t> associate_to_socks5_proxy(platform::socket_handle s, const log_printer& printer,
                                                       log_level level, std::uint32_t timeout_ms)
{
    const bool logs = level == log_level::all && static_cast<bool>(printer);
    auto log = [&](const char* text, const std::string& tail = {}) {
        if (logs)
            log_with_prefix(printer, prefix, std::string(text) + tail);
    };

    static constexpr std::uint8_t ident_req[3] = {5, 1, 0x00};
    std::uint32_t e = platform::send_all(s, ident_req, sizeof ident_req, timeout_ms);
    if (e != 0) {
        log("associate_to_socks5_proxy: Failed to send socks5_ident_req: ", std::to_string(e));
        return std::nullopt;
    }
    std::uint8_t ident_resp[2] = {};
    std::size_t have = 0;
    e = receive_exactly(s, ident_resp, have, sizeof ident_resp, timeout_ms);
    if (e != 0) {
        log("associate_to_socks5_proxy: Failed to receive socks5_ident_resp: ", std::to_string(e));
        return std::nullopt;
    }
    if (ident_resp[0] != 5 || ident_resp[1] == 0xFF) {
        log("associate_to_socks5_proxy: SOCKS5 authentication has failed: ");
        return std::nullopt;
    }
    static constexpr std::uint8_t request[10] = {5, 3, 0, 1, 0, 0, 0, 0, 0, 0};
    e = platform::send_all(s, request, sizeof request, timeout_ms);
    if (e != 0) {
        log("associate_to_socks5_proxy: Failed to send SOCKS5 ASSOCIATE request: ", std::to_string(e));
        return std::nullopt;
    }
    // The reply's length depends on its address type; read exactly that much.
    std::uint8_t reply[socks5_reply_maximum] = {};
    have = 0;
    e = receive_exactly(s, reply, have, socks5_reply_minimum, timeout_ms);
    const int length = e == 0 ? socks5_reply_length(reply, have) : 0;
    if (e == 0 && length > 0)
        e = receive_exactly(s, reply, have, static_cast<std::size_t>(length), timeout_ms);
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
