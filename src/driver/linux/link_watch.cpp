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

void link_watch::handle(const void* data, unsigned length)
{
    int remaining = static_cast<int>(length);
    for (auto* header = static_cast<const nlmsghdr*>(data); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
        if (header->nlmsg_type != RTM_NEWLINK && header->nlmsg_type != RTM_DELLINK)
            continue;
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
            continue;
        const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
        std::string name;
        int attribute_length = static_cast<int>(IFLA_PAYLOAD(header));
        for (auto* attribute = IFLA_RTA(info); RTA_OK(attribute, attribute_length);
             attribute = RTA_NEXT(attribute, attribute_length)) {
            if (attribute->rta_type == IFLA_IFNAME) {
                const char* text = static_cast<const char*>(RTA_DATA(attribute));
                name.assign(text, strnlen(text, RTA_PAYLOAD(attribute)));
            }
        }
        if (name.empty())
            continue;
        bool watched = false;
        for (const adapter_spec& spec : host_.configured())
            watched = watched || spec.stack_name == name;
        if (!watched)
            continue;
        const bool present = header->nlmsg_type == RTM_NEWLINK;
        host_.link_changed(name, present, (info->ifi_flags & IFF_UP) != 0,
                           static_cast<std::uint32_t>(info->ifi_index));
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
