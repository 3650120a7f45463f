#pragma once
// A blocking UDP endpoint for the proxy tests, built on the portable overlapped operations
// with a private completion port, so the same tests run on Linux and under Wine. Every wait
// is bounded.

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/completion_port.h"
#include "platform/socket.h"

namespace proxy_test {

inline in_addr ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    in_addr out;
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::memcpy(&out, bytes, 4);
    return out;
}

struct datagram {
    std::vector<std::uint8_t> bytes;
    in_addr from{};
    std::uint16_t from_port = 0;
};

class udp_peer {
public:
    explicit udp_peer(in_addr address = ipv4(127, 0, 0, 1))
    {
        std::uint32_t e = 0;
        socket_ = platform::open_udp_socket(e);
        if (socket_ == platform::invalid_socket || platform::bind_ipv4(socket_, address, 0) != 0 ||
            platform::local_port(socket_, port_) != 0 || !port_object_.associate(socket_, 1))
            port_ = 0;
        address_ = address;
    }
    ~udp_peer()
    {
        if (socket_ != platform::invalid_socket)
            platform::close_socket(socket_);
        // The aborted receive's completion refers to members: take it before they go.
        for (int i = 0; i < 20 && receiving_; ++i)
            take(100);
    }
    udp_peer(const udp_peer&) = delete;
    udp_peer& operator=(const udp_peer&) = delete;

    std::uint16_t port() const { return port_; }
    in_addr address() const { return address_; }

    bool send_to(in_addr to, std::uint16_t to_port, const std::vector<std::uint8_t>& data)
    {
        platform::socket_address a;
        const int length = platform::make_ipv4_address(a, to, to_port);
        std::vector<std::uint8_t> copy = data;
        platform::io_buffer b{static_cast<std::uint32_t>(copy.size()), reinterpret_cast<char*>(copy.data())};
        send_ov_ = {};
        if (!platform::completion_follows(platform::post_send_to(socket_, b, a, length, &send_ov_)))
            return false;
        sending_ = true;
        for (int i = 0; i < 50 && sending_; ++i)
            take(100);
        return !sending_ && send_ok_;
    }

    // The next datagram, or nothing within `timeout_ms`.
    std::optional<datagram> receive(std::uint32_t timeout_ms)
    {
        if (!receiving_) {
            from_length_ = platform::socket_address_capacity;
            receive_ov_ = {};
            platform::io_buffer b{static_cast<std::uint32_t>(buffer_.size()), reinterpret_cast<char*>(buffer_.data())};
            if (!platform::completion_follows(
                    platform::post_receive_from(socket_, b, &from_, &from_length_, &receive_ov_)))
                return std::nullopt;
            receiving_ = true;
        }
        const std::uint32_t slice = 50;
        for (std::uint32_t waited = 0; waited < timeout_ms && !ready_; waited += slice)
            take(slice);
        if (!ready_)
            return std::nullopt;
        ready_ = false;
        return std::move(received_);
    }

private:
    void take(std::uint32_t timeout_ms)
    {
        const platform::completion c = port_object_.dequeue(timeout_ms);
        if (!c.dequeued)
            return;
        if (c.ov == &send_ov_) {
            sending_ = false;
            send_ok_ = c.success;
        } else if (c.ov == &receive_ov_) {
            receiving_ = false;
            if (!c.success)
                return;
            datagram d;
            d.bytes.assign(buffer_.begin(), buffer_.begin() + c.bytes);
            platform::read_ipv4_address(from_, from_length_, d.from, d.from_port);
            received_ = std::move(d);
            ready_ = true;
        }
    }

    platform::completion_port port_object_;
    platform::socket_handle socket_ = platform::invalid_socket;
    std::uint16_t port_ = 0;
    in_addr address_{};
    platform::overlapped send_ov_{};
    platform::overlapped receive_ov_{};
    bool sending_ = false;
    bool send_ok_ = false;
    bool receiving_ = false;
    bool ready_ = false;
    datagram received_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(65536);
    platform::socket_address from_{};
    int from_length_ = platform::socket_address_capacity;
};

// The 10-byte header of the gateway's datagrams followed by `payload`.
inline std::vector<std::uint8_t> with_header(in_addr to, std::uint16_t to_port, const std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> out(10);
    out[3] = 1;
    std::memcpy(out.data() + 4, &to, 4);
    out[8] = static_cast<std::uint8_t>(to_port >> 8);
    out[9] = static_cast<std::uint8_t>(to_port & 0xFF);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

}  // namespace proxy_test
