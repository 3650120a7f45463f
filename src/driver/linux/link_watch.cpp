#include "driver/linux/link_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/linux/log.h"

namespace corvflt::linux_host {

link_watch::link_watch(linux_host& host) : host_(host) {}

link_watch::~link_watch()
{
    stop();
    if (netlink_fd_ >= 0)
        close(netlink_fd_);
    if (stop_fd_ >= 0)
        close(stop_fd_);
}

bool link_watch::start(std::string* error)
{
    netlink_fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK;
    if (netlink_fd_ < 0 || stop_fd_ < 0 ||
        bind(netlink_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = std::string("rtnetlink: ") + std::strerror(errno);
        return false;
    }
    const int buffer = 1 << 20;
    setsockopt(netlink_fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    thread_ = std::thread([this] { run(); });
    return true;
}

void link_watch::stop()
{
    if (!thread_.joinable())
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stop_fd_, &one, sizeof one);
    thread_.join();
}

// After lost notifications (ENOBUFS) the state is compared with the interfaces as they are.
void link_watch::resync()
{
    for (const adapter_spec& spec : host_.configured()) {
        tun_device facts;
        const bool present = query_interface(spec.stack_name, &facts);
        host_.link_changed(spec.stack_name, present, facts.up, facts.ifindex);
    }
}

// Walks the messages by hand (the NLMSG_/RTA_ macros mix signed and unsigned lengths);
// every length is checked against what is left before it is used.
void link_watch::handle(const void* data, unsigned length)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= length) {
        nlmsghdr header;
        std::memcpy(&header, bytes + offset, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length - offset)
            break;
        const std::uint8_t* message = bytes + offset;
        offset += NLMSG_ALIGN(header.nlmsg_len);
        if (header.nlmsg_type != RTM_NEWLINK && header.nlmsg_type != RTM_DELLINK)
            continue;
        const std::size_t info_offset = NLMSG_LENGTH(0);
        const std::size_t attributes_offset = NLMSG_LENGTH(NLMSG_ALIGN(sizeof(ifinfomsg)));
        if (header.nlmsg_len < attributes_offset)
            continue;
        ifinfomsg info;
        std::memcpy(&info, message + info_offset, sizeof info);
        std::string name;
        std::size_t at = attributes_offset;
        while (at + sizeof(rtattr) <= header.nlmsg_len) {
            rtattr attribute;
            std::memcpy(&attribute, message + at, sizeof attribute);
            if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > header.nlmsg_len - at)
                break;
            if (attribute.rta_type == IFLA_IFNAME) {
                const char* text = reinterpret_cast<const char*>(message + at + RTA_LENGTH(0));
                name.assign(text, strnlen(text, attribute.rta_len - RTA_LENGTH(0)));
            }
            at += RTA_ALIGN(attribute.rta_len);
        }
        if (name.empty())
            continue;
        bool watched = false;
        for (const adapter_spec& spec : host_.configured())
            watched = watched || spec.stack_name == name;
        if (!watched)
            continue;
        host_.link_changed(name, header.nlmsg_type == RTM_NEWLINK, (info.ifi_flags & IFF_UP) != 0,
                           static_cast<std::uint32_t>(info.ifi_index));
    }
}

void link_watch::run()
{
    alignas(nlmsghdr) static thread_local std::uint8_t buffer[64 * 1024];
    pollfd fds[2] = {{netlink_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        const ssize_t n = recv(netlink_fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == ENOBUFS) {
                log_line("rtnetlink notifications were lost; checking the interfaces again");
                resync();
            }
            continue;
        }
        handle(buffer, static_cast<unsigned>(n));
    }
}

}  // namespace corvflt::linux_host
