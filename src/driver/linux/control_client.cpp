#include "driver/linux/control_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tarnwell/control_interface.h"

namespace corvflt::linux_host {

namespace {
constexpr std::uint32_t socket_failed = 0xFFFFFFFF;
}

control_client::~control_client() { close(); }

bool control_client::connect(const std::string& socket_path)
{
    close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    return true;
}

void control_client::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::uint32_t control_client::request(std::uint32_t code, const void* in, std::uint32_t in_length,
                                      void* out, std::uint32_t out_length, std::uint32_t* bytes)
{
    if (bytes)
        *bytes = 0;
    std::uint32_t header[2] = {code, out_length};
    iovec request_parts[2] = {{header, sizeof header}, {const_cast<void*>(in), in_length}};
    msghdr message{};
    message.msg_iov = request_parts;
    message.msg_iovlen = in_length ? 2 : 1;
    if (fd_ < 0 || sendmsg(fd_, &message, MSG_NOSIGNAL) < 0)
        return socket_failed;
    std::uint32_t reply[2] = {socket_failed, 0};
    iovec reply_parts[2] = {{reply, sizeof reply}, {out, out_length}};
    msghdr answer{};
    answer.msg_iov = reply_parts;
    answer.msg_iovlen = out_length ? 2 : 1;
    const ssize_t n = recvmsg(fd_, &answer, 0);
    if (n < static_cast<ssize_t>(sizeof reply) || reply[1] > out_length)
        return socket_failed;
    // A large output continues in further messages of output bytes only.
    for (std::uint32_t got = static_cast<std::uint32_t>(n) - sizeof reply; got < reply[1];) {
        const ssize_t more = recv(fd_, static_cast<std::uint8_t*>(out) + got, reply[1] - got, 0);
        if (more <= 0)
            return socket_failed;
        got += static_cast<std::uint32_t>(more);
    }
    if (bytes)
        *bytes = reply[1];
    return reply[0];
}

std::uint32_t control_client::raw_request(const void* data, std::uint32_t length)
{
    if (fd_ < 0 || send(fd_, data, length, MSG_NOSIGNAL) < 0)
        return socket_failed;
    std::uint32_t reply[2] = {socket_failed, 0};
    // The reply's output bytes, if any, are dropped with the rest of the message.
    if (recv(fd_, reply, sizeof reply, 0) < static_cast<ssize_t>(sizeof reply))
        return socket_failed;
    return reply[0];
}

std::uint64_t control_client::find_adapter(const std::string& name)
{
    auto list = std::make_unique<tarnwell::ADAPTER_LIST>();
    if (request(tarnwell::IOCTL_CORVFLT_GET_ADAPTER_LIST, nullptr, 0, list.get(),
                sizeof(tarnwell::ADAPTER_LIST)) != 0)
        return 0;
    for (std::uint32_t i = 0; i < list->count && i < tarnwell::ADAPTER_LIST_SIZE; ++i) {
        if (strncmp(list->names[i], name.c_str(), tarnwell::ADAPTER_NAME_SIZE) == 0)
            return list->handles[i];
    }
    return 0;
}

}  // namespace corvflt::linux_host
