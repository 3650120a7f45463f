#include "proxy/negotiating_proxy_socket.h"

namespace proxy {

std::uint32_t negotiating_proxy_socket::negotiate_state()
{
    std::lock_guard lock(mutex_);
    return negotiate_state_;
}

void negotiating_proxy_socket::send_negotiate_locked(const char* data, std::uint32_t length)
{
    if (!remote_socket_.valid())
        return;
    if (remote_send_window_.length != 0) {
        waiting_write_ = data;
        waiting_write_length_ = length;
        return;
    }
    remote_send_window_ = {length, const_cast<char*>(data)};
    negotiate_write_context_.buffer = remote_send_window_;
    const std::uint32_t e = platform::post_send(remote_socket_.get(), remote_send_window_,
                                                &negotiate_write_context_.overlapped);
    if (!platform::completion_follows(e)) {
        fail_negotiation_locked();
        remote_send_window_.length = 0;
    }
}

void negotiating_proxy_socket::fail_negotiation_locked()
{
    const std::uint32_t reading = remote_receive_window_.length;
    close_remote_locked();
    remote_receive_window_.length = reading;
}

void negotiating_proxy_socket::relay_when_written_locked()
{
    if (!remote_socket_.valid())
        return;
    if (remote_send_window_.length != 0) {
        relay_waiting_ = true;
        return;
    }
    begin_relay_locked();
}

void negotiating_proxy_socket::receive_negotiate_locked(char* into, std::uint32_t length)
{
    if (!remote_socket_.valid())
        return;
    remote_receive_window_ = {length, into};
    negotiate_read_context_.buffer = remote_receive_window_;
    const std::uint32_t e = platform::post_receive(remote_socket_.get(), remote_receive_window_,
                                                   &negotiate_read_context_.overlapped);
    if (!platform::completion_follows(e))
        close_remote_locked();
}

void negotiating_proxy_socket::process_send_negotiate_complete(std::uint32_t, per_io_context*)
{
    std::lock_guard lock(mutex_);
    remote_send_window_.length = 0;
    if (waiting_write_) {
        const char* data = waiting_write_;
        waiting_write_ = nullptr;
        send_negotiate_locked(data, waiting_write_length_);
        return;
    }
    if (relay_waiting_) {
        relay_waiting_ = false;
        begin_relay_locked();
    }
}

}  // namespace proxy
