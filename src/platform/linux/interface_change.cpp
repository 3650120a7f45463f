// rtnetlink backend of the IP interface change notifications of
// platform/interface_table.h: one multicast netlink socket and one thread per registration.
#include <linux/if_addr.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/interface_table.h"
#include "platform/linux/link_facts.h"
#include "platform/linux/netlink_route.h"

namespace platform {

// Owned by the registration handle; when cancelled from its own callback, the thread
// finishes and frees it instead (the shared pointer lets both sides hold it).
struct interface_change_registration {
    struct state {
        interface_change_callback callback = nullptr;
        void* context = nullptr;
        std::unique_ptr<netlink::route_socket> socket;
        int stop_fd = -1;
        std::set<std::uint32_t> known_links;  // notification thread only
        ~state()
        {
            if (stop_fd >= 0)
                close(stop_fd);
        }
    };
    std::shared_ptr<state> shared;
    std::thread thread;
};

namespace {

constexpr std::uint32_t change_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR |
                                        RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;

thread_local const interface_change_registration::state* current_state = nullptr;

void report(interface_change_registration::state& s, interface_change_kind kind,
            std::uint16_t family, std::uint32_t index, std::uint64_t luid)
{
    interface_change change;
    change.kind = kind;
    change.family = family;
    change.if_index = index;
    change.luid = luid;
    s.callback(s.context, change);
}

// Maps one kernel message to at most one notification.
void dispatch(interface_change_registration::state& s, const nlmsghdr& h)
{
    switch (h.nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK: {
        link_facts link;
        if (!parse_link(h, link))
            return;
        interface_change_kind kind;
        if (h.nlmsg_type == RTM_DELLINK) {
            s.known_links.erase(link.index);
            kind = interface_change_kind::deleted;
        } else {
            kind = s.known_links.insert(link.index).second ? interface_change_kind::added
                                                           : interface_change_kind::parameter_change;
        }
        report(s, kind, AF_UNSPEC, link.index, link_luid(link));
        return;
    }
    case RTM_NEWADDR:
    case RTM_DELADDR: {
        if (h.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
            return;
        ifaddrmsg ifa;
        std::memcpy(&ifa, NLMSG_DATA(&h), sizeof ifa);
        report(s,
               h.nlmsg_type == RTM_NEWADDR ? interface_change_kind::added
                                           : interface_change_kind::deleted,
               ifa.ifa_family, ifa.ifa_index, 0);
        return;
    }
    case RTM_NEWROUTE:
    case RTM_DELROUTE: {
        if (h.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
            return;
        rtmsg route;
        std::memcpy(&route, NLMSG_DATA(&h), sizeof route);
        std::uint32_t table = route.rtm_table;
        std::uint32_t oif = 0;
        netlink::for_each_attribute(RTM_RTA(NLMSG_DATA(&h)), RTM_PAYLOAD(&h),
                                    [&](std::uint16_t type, const void* data, std::size_t length) {
                                        if (type == RTA_TABLE && length >= 4)
                                            std::memcpy(&table, data, 4);
                                        else if (type == RTA_OIF && length >= 4)
                                            std::memcpy(&oif, data, 4);
                                    });
        // The local table follows every address change; only routing decisions matter.
        if (table != RT_TABLE_MAIN || (route.rtm_flags & RTM_F_CLONED))
            return;
        report(s, interface_change_kind::parameter_change, route.rtm_family, oif, 0);
        return;
    }
    default:
        return;
    }
}

void run(std::shared_ptr<interface_change_registration::state> s)
{
    current_state = s.get();
    std::vector<unsigned char> buffer(64 * 1024);
    pollfd waits[2] = {{s->socket->fd(), POLLIN, 0}, {s->stop_fd, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (waits[1].revents)
            return;
        const ssize_t received = recv(s->socket->fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            if (errno == ENOBUFS) {
                // Messages were dropped: say that something changed.
                report(*s, interface_change_kind::parameter_change, 0, 0, 0);
                continue;
            }
            return;
        }
        std::size_t remaining = static_cast<std::size_t>(received);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(h, remaining);
             h = NLMSG_NEXT(h, remaining)) {
            dispatch(*s, *h);
            // A cancel from inside the callback ends the registration here.
            std::uint64_t stop = 0;
            if (read(s->stop_fd, &stop, sizeof stop) == sizeof stop)
                return;
        }
    }
}

// The links that exist now, so that later messages about them count as changes.
void learn_links(std::set<std::uint32_t>& known)
{
    netlink::route_socket socket;
    ifinfomsg family{};
    family.ifi_family = AF_UNSPEC;
    netlink::request message(RTM_GETLINK, NLM_F_DUMP, &family, sizeof family);
    socket.exchange(message.header(), [&](const nlmsghdr& h) {
        link_facts link;
        if (parse_link(h, link))
            known.insert(link.index);
    });
}

}  // namespace

std::uint32_t notify_ip_interface_change(interface_change_callback callback, void* context,
                                         interface_change_registration** handle)
{
    if (!callback || !handle)
        return error_invalid_parameter;
    auto s = std::make_shared<interface_change_registration::state>();
    s->callback = callback;
    s->context = context;
    s->socket = std::make_unique<netlink::route_socket>(change_groups);
    if (s->socket->error())
        return netlink::win32_error_from_errno(s->socket->error());
    // Room for bursts (a namespace teardown sends hundreds of messages); an overrun is
    // still reported, as one change.
    const int receive_buffer = 1 << 20;
    setsockopt(s->socket->fd(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    s->stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s->stop_fd < 0)
        return netlink::win32_error_from_errno(errno);
    learn_links(s->known_links);

    auto registration = std::make_unique<interface_change_registration>();
    registration->shared = s;
    try {
        registration->thread = std::thread(run, s);
    } catch (const std::system_error&) {
        return error_not_enough_memory;
    }
    *handle = registration.release();
    return error_success;
}

std::uint32_t cancel_ip_interface_change(interface_change_registration* handle)
{
    if (!handle)
        return error_invalid_parameter;
    const std::uint64_t one = 1;
    if (write(handle->shared->stop_fd, &one, sizeof one) != sizeof one)
        return netlink::win32_error_from_errno(errno);
    if (current_state == handle->shared.get())
        handle->thread.detach();  // the callback in progress is the last; the thread frees the state
    else
        handle->thread.join();
    delete handle;
    return error_success;
}

}  // namespace platform
