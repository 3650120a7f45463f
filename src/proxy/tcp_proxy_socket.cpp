#include "proxy/tcp_proxy_socket.h"

#include <string>

namespace proxy {
namespace {

constexpr const char* prefix = "tcp_proxy_socket: ";

}  // namespace

tcp_proxy_socket::tcp_proxy_socket(platform::unique_socket local, platform::unique_socket remote,
                                   std::unique_ptr<negotiate_context> context,
                                   log_printer printer, log_level level)
    : local_socket_(std::move(local)),
      remote_socket_(std::move(remote)),
      negotiate_context_(std::move(context)),
      log_printer_(std::move(printer)),
      log_level_(level)
{
    // The receive windows point at the ring starts but stay at length 0 until start_relay
    // posts them: a connection that never starts its relay (failed negotiation or adoption)
    // must not look as if receives were outstanding, or it would never be removed.
    local_receive_window_.buffer = upstream_.data.data();
    remote_receive_window_.buffer = downstream_.data.data();
}

tcp_proxy_socket::~tcp_proxy_socket() = default;

void tcp_proxy_socket::log(const char* text, std::uint32_t number) const
{
    std::string line(text);
    line += std::to_string(number);
    log_with_prefix(log_printer_, prefix, line);
}

bool tcp_proxy_socket::start()
{
    if (!negotiate_with_client() || !negotiate_with_proxy())
        return false;
    return start_relay();
}

void tcp_proxy_socket::process_receive_negotiate_complete(std::uint32_t, per_io_context*) {}
void tcp_proxy_socket::process_send_negotiate_complete(std::uint32_t, per_io_context*) {}
bool tcp_proxy_socket::negotiate_with_client() { return true; }
bool tcp_proxy_socket::negotiate_with_proxy() { return true; }

void tcp_proxy_socket::set_connection_status(connection_status status)
{
    std::lock_guard lock(mutex_);
    connection_status_ = status;
}

bool tcp_proxy_socket::start_relay()
{
    std::lock_guard lock(mutex_);
    return start_relay_locked();
}

bool tcp_proxy_socket::start_relay_locked()
{
    // Posting never runs a completion inline, so holding the mutex here keeps the relay's
    // first completions from racing with the rest of the start.
    local_receive_window_ = {ring_size - upstream_.receive_at, upstream_.data.data() + upstream_.receive_at};
    std::uint32_t e = platform::post_receive(local_socket_.get(), local_receive_window_,
                                             &local_receive_context_.overlapped);
    if (!platform::completion_follows(e)) {
        local_receive_window_.length = 0;
        close_local_locked();
        if (remote_send_window_.length == 0)
            close_socket_locked(remote_socket_);
        remote_receive_window_.length = 0;
        return false;
    }
    remote_receive_window_ = {ring_size - downstream_.receive_at,
                              downstream_.data.data() + downstream_.receive_at};
    e = platform::post_receive(remote_socket_.get(), remote_receive_window_,
                               &remote_receive_context_.overlapped);
    if (!platform::completion_follows(e)) {
        close_local_locked();
        close_remote_locked();
        return false;
    }
    return true;
}

void tcp_proxy_socket::close_socket_locked(platform::unique_socket& s)
{
    s.close();
    connection_status_ = connection_status::disconnected;
}

bool tcp_proxy_socket::start_connect(const in_addr& address, std::uint16_t port)
{
    std::lock_guard lock(mutex_);
    const std::uint32_t e = platform::post_connect(remote_socket_.get(), address, port,
                                                   &connect_context_.overlapped);
    connect_pending_ = platform::completion_follows(e);
    return connect_pending_;
}

void tcp_proxy_socket::process_connect_complete(bool success)
{
    {
        std::lock_guard lock(mutex_);
        connect_pending_ = false;
        // Aborted meanwhile (the server stops): the sockets are closed already.
        if (connection_status_ == connection_status::disconnected)
            return;
        if (!success || platform::complete_connect(remote_socket_.get()) != 0) {
            close_socket_locked(local_socket_);
            close_socket_locked(remote_socket_);
            return;
        }
        connection_status_ = connection_status::connected;
    }
    start();
}

void tcp_proxy_socket::close_local_locked() { close_socket_locked(local_socket_); }

void tcp_proxy_socket::close_remote_locked()
{
    close_socket_locked(remote_socket_);
    remote_receive_window_.length = 0;
}

void tcp_proxy_socket::close_client(bool receive, bool is_local)
{
    std::lock_guard lock(mutex_);
    if (is_local) {
        close_socket_locked(local_socket_);
        if (receive) {
            // Data still being sent to the remote keeps the remote open; the last send's
            // completion closes it.
            if (remote_send_window_.length == 0)
                close_socket_locked(remote_socket_);
            local_receive_window_.length = 0;
        } else {
            local_send_window_.length = 0;
        }
    } else {
        close_socket_locked(remote_socket_);
        if (receive) {
            // The remote end has finished: the client hears of it as soon as everything the
            // remote sent has reached it (then, the last send's completion closes it), not
            // at the cleanup thread's next pass a second later.
            remote_receive_window_.length = 0;
            if (local_send_window_.length == 0)
                close_socket_locked(local_socket_);
        } else {
            remote_send_window_.length = 0;
        }
    }
}

void tcp_proxy_socket::close_local_if_drained()
{
    std::lock_guard lock(mutex_);
    if (remote_socket_.valid() || connect_pending_ || remote_send_window_.length != 0 ||
        local_send_window_.length != 0 || remote_receive_window_.length != 0)
        return;
    if (local_socket_.valid())
        close_socket_locked(local_socket_);
}

bool tcp_proxy_socket::is_connecting()
{
    std::lock_guard lock(mutex_);
    return connect_pending_;
}

bool tcp_proxy_socket::is_idle()
{
    std::lock_guard lock(mutex_);
    return !local_socket_.valid() && !remote_socket_.valid() && !connect_pending_ &&
           local_receive_window_.length == 0 && local_send_window_.length == 0 &&
           remote_receive_window_.length == 0 && remote_send_window_.length == 0;
}

void tcp_proxy_socket::abort()
{
    std::lock_guard lock(mutex_);
    close_socket_locked(local_socket_);
    close_socket_locked(remote_socket_);
}

tcp_proxy_socket::direction tcp_proxy_socket::from_side(bool a_is_local)
{
    if (a_is_local)
        return {upstream_, local_socket_, remote_socket_, local_receive_window_,
                remote_send_window_, local_receive_context_, remote_send_context_, true};
    return {downstream_, remote_socket_, local_socket_, remote_receive_window_,
            local_send_window_, remote_receive_context_, local_send_context_, false};
}

void tcp_proxy_socket::repost_receive_failed(direction& d)
{
    close_socket_locked(d.a_socket);
    d.a_receive.length = 0;
    if (d.a_is_local && remote_send_window_.length == 0)
        close_socket_locked(remote_socket_);
}

void tcp_proxy_socket::process_receive_buffer_complete(std::uint32_t bytes, per_io_context* ctx)
{
    std::lock_guard lock(mutex_);
    direction d = from_side(ctx->is_local);
    if (connection_status_ != connection_status::connected) {
        d.a_receive.length = 0;
        return;
    }
    if (logs_all())
        log(d.a_is_local ? "process_receive_buffer_complete: data received from locally connected socket: "
                         : "process_receive_buffer_complete: data received from remotely connected socket: ",
            bytes);
    ring& r = d.r;
    // With no send outstanding the ring held nothing unsent, so the bytes just received are
    // all there is to send.
    if (d.b_send.length == 0) {
        d.b_send = {bytes, r.data.data() + r.receive_at};
        if (logs_all())
            log(d.a_is_local ? "process_receive_buffer_complete: sending data to remotely connected socket: "
                             : "process_receive_buffer_complete: sending data to locally connected socket: ",
                bytes);
        const std::uint32_t e = platform::post_send(d.b_socket.get(), d.b_send, &d.b_send_context.overlapped);
        if (!platform::completion_follows(e)) {
            close_socket_locked(d.b_socket);
            d.b_send.length = 0;
        }
    }
    r.receive_at += bytes;
    std::uint32_t window;
    if (r.receive_at <= r.send_at) {
        window = r.send_at - r.receive_at;  // 0: the ring is full, the next send re-posts
    } else if (r.receive_at >= ring_size) {
        r.receive_at = 0;
        window = r.send_at;
    } else {
        window = ring_size - r.receive_at;
    }
    d.a_receive = {window, r.data.data() + r.receive_at};
    if (window == 0)
        return;
    const std::uint32_t e = platform::post_receive(d.a_socket.get(), d.a_receive, &d.a_receive_context.overlapped);
    if (!platform::completion_follows(e))
        repost_receive_failed(d);
}

void tcp_proxy_socket::process_send_buffer_complete(std::uint32_t bytes, per_io_context* ctx)
{
    std::lock_guard lock(mutex_);
    const bool b_is_local = ctx->is_local;
    direction d = from_side(!b_is_local);
    if (logs_all())
        log(b_is_local ? "process_send_buffer_complete: send complete to locally connected socket: "
                       : "process_send_buffer_complete: send complete to remotely connected socket: ",
            bytes);
    ring& r = d.r;
    if (connection_status_ != connection_status::disconnected && d.a_receive.length == 0) {
        // The receiving side stalled on a full ring; its receive pointer sits at the send
        // pointer, so the space just freed is where it continues.
        d.a_receive = {bytes, r.data.data() + r.send_at};
        if (bytes != 0) {
            const std::uint32_t e = platform::post_receive(d.a_socket.get(), d.a_receive,
                                                           &d.a_receive_context.overlapped);
            if (!platform::completion_follows(e))
                repost_receive_failed(d);
        }
    }
    r.send_at += bytes;
    if (r.send_at >= ring_size)
        r.send_at = 0;
    if (r.send_at != r.receive_at) {
        // A send never crosses the ring end: the part after the wrap goes in the next one.
        const std::uint32_t length = r.send_at < r.receive_at ? r.receive_at - r.send_at
                                                              : ring_size - r.send_at;
        d.b_send = {length, r.data.data() + r.send_at};
        if (logs_all())
            log(b_is_local ? "process_send_buffer_complete: sending data to locally connected socket: "
                           : "process_send_buffer_complete: sending data to remotely connected socket: ",
                bytes);
        const std::uint32_t e = platform::post_send(d.b_socket.get(), d.b_send, &d.b_send_context.overlapped);
        if (!platform::completion_follows(e)) {
            close_socket_locked(d.b_socket);
            d.b_send.length = 0;
        }
        return;
    }
    d.b_send.length = 0;
    if (connection_status_ == connection_status::disconnected)
        close_socket_locked(remote_socket_);
    // Everything from a remote that has gone is delivered: the client may see the end.
    if (b_is_local && !remote_socket_.valid() && remote_receive_window_.length == 0 && !connect_pending_)
        close_socket_locked(local_socket_);
}

tcp_proxy_socket::relay_snapshot tcp_proxy_socket::snapshot()
{
    std::lock_guard lock(mutex_);
    relay_snapshot r{};
    r.status = connection_status_;
    r.local_open = local_socket_.valid();
    r.remote_open = remote_socket_.valid();
    r.local_receive = local_receive_window_.length;
    r.local_send = local_send_window_.length;
    r.remote_receive = remote_receive_window_.length;
    r.remote_send = remote_send_window_.length;
    r.remote_send_offset = static_cast<std::uint32_t>(remote_send_window_.buffer ? remote_send_window_.buffer - upstream_.data.data() : 0);
    r.upstream_receive_at = upstream_.receive_at;
    r.upstream_send_at = upstream_.send_at;
    return r;
}

void dispatch_completion(std::uint32_t bytes, per_io_context* ctx, int success)
{
    auto* owner = ctx->owner_as<tcp_proxy_socket>();
    if (ctx->kind == io_kind::connect) {
        owner->process_connect_complete(success != 0);
        return;
    }
    if (ctx->kind == io_kind::owned_write) {
        // Its record and buffer exist for this send alone; a failure also ends that side.
        const bool is_local = ctx->is_local;
        free_owned_write(ctx);
        if (!success)
            owner->close_client(false, is_local);
        return;
    }
    if (success == 0 || (bytes == 0 && ctx->is_receive())) {
        owner->close_client(ctx->is_receive(), ctx->is_local);
        return;
    }
    switch (ctx->kind) {
    case io_kind::read:
        owner->process_receive_buffer_complete(bytes, ctx);
        break;
    case io_kind::write:
        owner->process_send_buffer_complete(bytes, ctx);
        break;
    case io_kind::negotiate_read:
        owner->process_receive_negotiate_complete(bytes, ctx);
        break;
    case io_kind::negotiate_write:
        owner->process_send_negotiate_complete(bytes, ctx);
        break;
    case io_kind::owned_write:
    case io_kind::connect:
    case io_kind::accept:
        break;
    }
}

}  // namespace proxy
