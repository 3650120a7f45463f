#pragma once
// CServiceBase: the service manager's protocol (dispatcher, service entry, control handler,
// status reports, event log) turned into a few virtual hooks for a derived service.
//
// Owns the status record and the status handle. The dispatcher thread calls ControlHandler;
// the service thread the manager creates calls ServiceEntry. HandleStop may therefore run
// while HandleStart is still inside StartHook; derived hooks must allow for that.
//
// A hook reports failure by throwing: an unsigned 32-bit (or unsigned long) error code, or
// any other exception. Failures end as event-log entries and fallback states; nothing is
// rethrown to the service manager.

#include "platform/service_control.h"

#include <cstdint>
#include <string>
#include <vector>

class CServiceBase {
public:
    // `host` is the service manager; the system's by default, a fake in tests.
    CServiceBase(const char* service_name, std::uint32_t service_type, std::uint32_t controls_accepted,
                 platform::service_host& host = platform::system_service_host());
    virtual ~CServiceBase();
    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;

    // Hands the calling thread to the service manager until `service` has stopped. False
    // with `error` when the process was not started as a service.
    static bool RunDispatcher(CServiceBase& service, std::uint32_t& error);

    // The next checkpoint value; starts at 1 and is shared by every instance of the process.
    static std::uint32_t checkpoint_counter;

    const std::string& service_name() const { return name_; }

protected:
    virtual void StartHook(const std::vector<std::string>& arguments);
    virtual void StopHook();
    virtual void PauseHook();
    virtual void ContinueHook();
    virtual void ShutdownHook();
    // One event-log entry whose insertion strings are the non-empty lines of `message`.
    virtual void LogEvent(const std::string& message, std::uint16_t type, std::uint32_t event_id,
                          std::uint16_t category);
    // An error entry "<function> failed with error code 0x%08lx".
    virtual void LogError(const std::string& function, std::uint32_t code);

    std::uint32_t event_id() const { return event_id_; }
    std::uint16_t event_category() const { return event_category_; }

private:
    static CServiceBase* current_service;

    void ServiceEntry(const std::vector<std::string>& arguments);
    void ControlHandler(std::uint32_t control);
    void HandleStart(const std::vector<std::string>& arguments);
    void HandleStop();
    void HandlePause();
    void HandleContinue();
    void HandleShutdown();
    void ReportStatus(std::uint32_t state, std::uint32_t exit_code, std::uint32_t wait_hint);

    std::string name_;
    platform::service_status status_;
    platform::service_status_handle status_handle_ = 0;
    std::uint32_t event_id_ = 0;
    std::uint16_t event_category_ = 0;
    platform::service_host& host_;
};
