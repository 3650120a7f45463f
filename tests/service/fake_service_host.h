#pragma once
// A service manager that runs the service's entry on the calling thread, then delivers a
// scripted list of controls, and records every status report and event-log entry.

#include "platform/service_control.h"

#include <cstdint>
#include <string>
#include <vector>

struct recorded_event {
    std::string source;
    std::uint16_t type = 0;
    std::uint16_t category = 0;
    std::uint32_t event_id = 0;
    std::vector<std::string> strings;
};

class fake_service_host final : public platform::service_host {
public:
    std::vector<std::uint32_t> controls;  // delivered after the entry returns
    bool register_fails = false;
    std::uint32_t register_error = 0;
    bool dispatcher_fails = false;

    std::vector<std::string> entry_arguments{"corvane-service"};
    std::vector<platform::service_status> statuses;
    std::vector<recorded_event> events;
    std::string dispatched_name;

    bool run_dispatcher(const std::string& service_name, platform::service_entry_function entry,
                        std::uint32_t& error) override
    {
        if (dispatcher_fails) {
            error = 1063;
            return false;
        }
        dispatched_name = service_name;
        entry(entry_arguments);
        for (auto control : controls) {
            if (handler_)
                handler_(control);
        }
        return true;
    }

    platform::service_status_handle register_control_handler(const std::string&,
                                                             platform::service_control_function handler,
                                                             std::uint32_t& error) override
    {
        if (register_fails) {
            error = register_error;
            return 0;
        }
        handler_ = std::move(handler);
        return 42;
    }

    bool set_status(platform::service_status_handle, const platform::service_status& status) override
    {
        statuses.push_back(status);
        return true;
    }

    bool report_event(const std::string& source, std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                      const std::vector<std::string>& strings) override
    {
        events.push_back({source, type, category, event_id, strings});
        return true;
    }

private:
    platform::service_control_function handler_;
};
