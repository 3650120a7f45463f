// The systemd side of the service framework: sd_notify for status, SIGTERM as the stop
// control. Serves one service per process, like the Windows dispatcher.

#include "platform/event_log.h"
#include "platform/service_control.h"
#include "platform/win32_errors.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

constexpr service_status_handle the_handle = 1;

// Sends one sd_notify datagram. NOTIFY_SOCKET is a path, or an abstract name after '@'.
bool notify_systemd(const std::string& message)
{
    const char* socket_name = std::getenv("NOTIFY_SOCKET");
    if (socket_name == nullptr || socket_name[0] == '\0')
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(socket_name);
    if (length >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, socket_name, length);
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), address_length);
    ::close(fd);
    return sent == static_cast<ssize_t>(message.size());
}

std::string notify_message(const service_status& status)
{
    switch (status.current_state) {
    case service_state::start_pending:
        return "STATUS=Starting";
    case service_state::running:
        return "READY=1\nSTATUS=Running";
    case service_state::stop_pending:
        return "STOPPING=1\nSTATUS=Stopping";
    case service_state::pause_pending:
        return "STATUS=Pausing";
    case service_state::paused:
        return "STATUS=Paused";
    case service_state::continue_pending:
        return "STATUS=Resuming";
    case service_state::stopped:
        if (status.win32_exit_code != 0) {
            char text[64];
            std::snprintf(text, sizeof text, "STATUS=Stopped with error code 0x%08x",
                          static_cast<unsigned>(status.win32_exit_code));
            return text;
        }
        return "STATUS=Stopped";
    default:
        return {};
    }
}

class systemd_service_host final : public service_host {
public:
    bool run_dispatcher(const std::string& service_name, service_entry_function entry,
                        std::uint32_t& error) override
    {
        const char* socket_name = std::getenv("NOTIFY_SOCKET");
        if (socket_name == nullptr || socket_name[0] == '\0') {
            error = error_failed_service_controller_connect;
            return false;
        }
        // Blocked before the service thread exists so that every thread inherits the mask
        // and the signals reach only the sigtimedwait below.
        sigset_t controls;
        sigemptyset(&controls);
        sigaddset(&controls, SIGTERM);
        sigaddset(&controls, SIGINT);
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &controls, &previous);
        stopped_.store(false);

        std::thread service_thread([&] { entry({service_name}); });
        for (;;) {
            if (stopped_.load())
                break;
            timespec period{0, 100 * 1000 * 1000};
            const int signal = sigtimedwait(&controls, nullptr, &period);
            if (signal == SIGTERM || signal == SIGINT) {
                service_control_function handler;
                {
                    std::lock_guard lock(mutex_);
                    handler = handler_;
                }
                if (handler)
                    handler(service_control::stop);
            }
        }
        service_thread.join();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return true;
    }

    service_status_handle register_control_handler(const std::string&, service_control_function handler,
                                                   std::uint32_t& error) override
    {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
        error = 0;
        return the_handle;
    }

    bool set_status(service_status_handle handle, const service_status& status) override
    {
        if (handle != the_handle)
            return false;
        notify_systemd(notify_message(status));
        if (status.current_state == service_state::stopped)
            stopped_.store(true);
        return true;
    }

    bool report_event(const std::string& source, std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                      const std::vector<std::string>& strings) override
    {
        return platform::report_event(source, type, category, event_id, strings);
    }

private:
    std::mutex mutex_;
    service_control_function handler_;  // guarded by mutex_
    std::atomic<bool> stopped_{false};
};

}  // namespace

service_host& system_service_host()
{
    static systemd_service_host* host = new systemd_service_host;
    return *host;
}

}  // namespace platform
