#pragma once
// The service manager as the service framework sees it: the dispatcher, the control
// handler registration, status reports and the event log. One header, one backend per OS;
// tests substitute their own service_host.
//
// Windows: StartServiceCtrlDispatcherW, RegisterServiceCtrlHandlerW, SetServiceStatus.
// Linux (systemd, unit Type=notify):
// - run_dispatcher fails with 1063 (the Windows "failed to connect to the service
//   controller" code) when NOTIFY_SOCKET is not set, that is when systemd did not start the
//   process. Otherwise it blocks SIGTERM and SIGINT in every thread, runs `entry` on a thread
//   of its own (argument: the service name), and turns each SIGTERM or SIGINT into the stop
//   control (1) on the calling thread, as the Windows dispatcher thread calls the handler.
//   It returns when the service has reported "stopped" and `entry` has returned.
// - set_status sends the sd_notify messages: start pending "STATUS=Starting", running
//   "READY=1" with "STATUS=Running", stop pending "STOPPING=1" with "STATUS=Stopping",
//   stopped "STATUS=Stopped" (with the exit code when it is not 0), and "STATUS=" lines for
//   the pause states.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// The fields of the Windows SERVICE_STATUS record, in its order.
struct service_status {
    std::uint32_t service_type = 0;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint = 0;
};

// Service states and control codes, with their Windows values on every platform.
namespace service_state {
inline constexpr std::uint32_t stopped = 1;
inline constexpr std::uint32_t start_pending = 2;
inline constexpr std::uint32_t stop_pending = 3;
inline constexpr std::uint32_t running = 4;
inline constexpr std::uint32_t continue_pending = 5;
inline constexpr std::uint32_t pause_pending = 6;
inline constexpr std::uint32_t paused = 7;
}  // namespace service_state

namespace service_control {
inline constexpr std::uint32_t stop = 1;
inline constexpr std::uint32_t pause = 2;
inline constexpr std::uint32_t resume = 3;  // "continue"
inline constexpr std::uint32_t shutdown = 5;
}  // namespace service_control

// 0 means "not registered".
using service_status_handle = std::uint64_t;

using service_entry_function = std::function<void(const std::vector<std::string>& arguments)>;
using service_control_function = std::function<void(std::uint32_t control)>;

// The operating system's service manager. Implementations are called from the dispatcher
// thread and the service thread; they keep no state a second concurrent run would share,
// except the system backend, which serves one service per process.
class service_host {
public:
    virtual ~service_host() = default;

    // Blocks until the service has stopped. False with `error` when the process cannot act
    // as a service (not started by the service manager).
    virtual bool run_dispatcher(const std::string& service_name, service_entry_function entry,
                                std::uint32_t& error) = 0;
    // 0 with `error` on failure.
    virtual service_status_handle register_control_handler(const std::string& service_name,
                                                           service_control_function handler,
                                                           std::uint32_t& error) = 0;
    virtual bool set_status(service_status_handle handle, const service_status& status) = 0;
    virtual bool report_event(const std::string& source, std::uint16_t type, std::uint16_t category,
                              std::uint32_t event_id, const std::vector<std::string>& strings) = 0;
};

// The backend of this OS; lives for the whole process.
service_host& system_service_host();

}  // namespace platform
