// The Win32 service control manager behind the service framework. The manager calls plain
// functions, so the one service of the process is reached through statics set before the
// dispatcher starts.

#include "platform/event_log.h"
#include "platform/service_control.h"

#include "platform/win32/utf16_text.h"

#include <mutex>
#include <windows.h>

namespace platform {

namespace {

std::mutex callbacks_mutex;
service_entry_function entry_callback;      // guarded by callbacks_mutex
service_control_function control_callback;  // guarded by callbacks_mutex
std::wstring dispatched_name;               // written before the dispatcher starts

// Runs on the thread the service control manager creates for the service.
void WINAPI service_main(DWORD argc, LPWSTR* argv)
{
    std::vector<std::string> arguments;
    for (DWORD i = 0; i < argc; ++i)
        arguments.push_back(win32::to_utf8(argv[i] != nullptr ? argv[i] : L""));
    service_entry_function entry;
    {
        std::lock_guard lock(callbacks_mutex);
        entry = entry_callback;
    }
    if (entry)
        entry(arguments);
}

// Runs on the dispatcher thread.
void WINAPI control_handler(DWORD control)
{
    service_control_function handler;
    {
        std::lock_guard lock(callbacks_mutex);
        handler = control_callback;
    }
    if (handler)
        handler(control);
}

class scm_service_host final : public service_host {
public:
    bool run_dispatcher(const std::string& service_name, service_entry_function entry,
                        std::uint32_t& error) override
    {
        {
            std::lock_guard lock(callbacks_mutex);
            entry_callback = std::move(entry);
        }
        dispatched_name = win32::to_utf16(service_name);
        SERVICE_TABLE_ENTRYW table[] = {{dispatched_name.data(), service_main}, {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherW(table)) {
            error = GetLastError();
            return false;
        }
        return true;
    }

    service_status_handle register_control_handler(const std::string& service_name, service_control_function handler,
                                                   std::uint32_t& error) override
    {
        {
            std::lock_guard lock(callbacks_mutex);
            control_callback = std::move(handler);
        }
        SERVICE_STATUS_HANDLE handle =
            RegisterServiceCtrlHandlerW(win32::to_utf16(service_name).c_str(), control_handler);
        if (handle == nullptr) {
            error = GetLastError();
            return 0;
        }
        error = 0;
        return reinterpret_cast<service_status_handle>(handle);
    }

    bool set_status(service_status_handle handle, const service_status& status) override
    {
        if (handle == 0)
            return false;
        SERVICE_STATUS s{};
        s.dwServiceType = status.service_type;
        s.dwCurrentState = status.current_state;
        s.dwControlsAccepted = status.controls_accepted;
        s.dwWin32ExitCode = status.win32_exit_code;
        s.dwServiceSpecificExitCode = status.service_specific_exit_code;
        s.dwCheckPoint = status.check_point;
        s.dwWaitHint = status.wait_hint;
        return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s) != FALSE;
    }

    bool report_event(const std::string& source, std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                      const std::vector<std::string>& strings) override
    {
        return platform::report_event(source, type, category, event_id, strings);
    }
};

}  // namespace

service_host& system_service_host()
{
    static scm_service_host* host = new scm_service_host;
    return *host;
}

}  // namespace platform
