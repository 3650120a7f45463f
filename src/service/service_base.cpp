#include "service/service_base.h"

#include "platform/event_log.h"
#include "service/service_names.h"
#include "service/service_text.h"

#include <new>

namespace ss = platform::service_state;

CServiceBase* CServiceBase::current_service = nullptr;
std::uint32_t CServiceBase::checkpoint_counter = 1;

namespace {

// Runs `hook`; returns 0 when it returned, the thrown code, or nullopt-like `other` for
// any other exception. unsigned int and unsigned long are both caught because the code is
// a 32-bit "unsigned long" on Windows and unsigned int is 32 bits everywhere.
enum class hook_outcome { done, code, other };

template <typename Hook>
hook_outcome run_hook(Hook&& hook, std::uint32_t& code)
{
    try {
        hook();
        return hook_outcome::done;
    } catch (unsigned int c) {
        code = c;
        return hook_outcome::code;
    } catch (unsigned long c) {
        code = static_cast<std::uint32_t>(c);
        return hook_outcome::code;
    } catch (...) {
        return hook_outcome::other;
    }
}

}  // namespace

CServiceBase::CServiceBase(const char* service_name, std::uint32_t service_type, std::uint32_t controls_accepted,
                           platform::service_host& host)
    : name_(service_name != nullptr ? service_name : ""), host_(host)
{
    status_.service_type = service_type;
    status_.current_state = ss::start_pending;
    status_.controls_accepted = controls_accepted;
}

CServiceBase::~CServiceBase()
{
    if (current_service == this)
        current_service = nullptr;
}

bool CServiceBase::RunDispatcher(CServiceBase& service, std::uint32_t& error)
{
    current_service = &service;
    return service.host_.run_dispatcher(
        service.name_,
        [](const std::vector<std::string>& arguments) {
            if (current_service != nullptr)
                current_service->ServiceEntry(arguments);
        },
        error);
}

void CServiceBase::ServiceEntry(const std::vector<std::string>& arguments)
{
    std::uint32_t error = 0;
    status_handle_ = host_.register_control_handler(
        name_, [this](std::uint32_t control) { ControlHandler(control); }, error);
    if (status_handle_ == 0) {
        // Without a status handle the manager cannot be told anything; the error goes to the
        // event log and the start ends here instead of ending the process.
        LogError("RegisterServiceCtrlHandler", error);
        ReportStatus(ss::stopped, error, 0);
        return;
    }
    HandleStart(arguments);
}

void CServiceBase::ControlHandler(std::uint32_t control)
{
    switch (control) {
    case platform::service_control::stop:
        HandleStop();
        break;
    case platform::service_control::pause:
        HandlePause();
        break;
    case platform::service_control::resume:
        HandleContinue();
        break;
    case platform::service_control::shutdown:
        HandleShutdown();
        break;
    default:
        break;
    }
}

void CServiceBase::HandleStart(const std::vector<std::string>& arguments)
{
    ReportStatus(ss::start_pending, 0, 0);
    std::uint32_t code = 0;
    switch (run_hook([&] { StartHook(arguments); }, code)) {
    case hook_outcome::done:
        ReportStatus(ss::running, 0, 0);
        break;
    case hook_outcome::code:
        LogError("Service Start", code);
        ReportStatus(ss::stopped, code, 0);
        break;
    case hook_outcome::other:
        LogEvent("Service failed to start.", platform::event_type_error, event_id_, event_category_);
        ReportStatus(ss::stopped, 0, 0);
        break;
    }
}

void CServiceBase::HandleStop()
{
    const std::uint32_t previous = status_.current_state;
    ReportStatus(ss::stop_pending, 0, 0);
    std::uint32_t code = 0;
    switch (run_hook([&] { StopHook(); }, code)) {
    case hook_outcome::done:
        ReportStatus(ss::stopped, 0, 0);
        break;
    case hook_outcome::code:
        LogError("Service Stop", code);
        ReportStatus(previous, 0, 0);
        break;
    case hook_outcome::other:
        LogEvent("Service failed to stop.", platform::event_type_error, event_id_, event_category_);
        ReportStatus(previous, 0, 0);
        break;
    }
}

void CServiceBase::HandlePause()
{
    ReportStatus(ss::pause_pending, 0, 0);
    std::uint32_t code = 0;
    switch (run_hook([&] { PauseHook(); }, code)) {
    case hook_outcome::done:
        ReportStatus(ss::paused, 0, 0);
        break;
    case hook_outcome::code:
        LogError("Service Pause", code);
        ReportStatus(ss::running, 0, 0);
        break;
    case hook_outcome::other:
        LogEvent("Service failed to pause.", platform::event_type_error, event_id_, event_category_);
        ReportStatus(ss::running, 0, 0);
        break;
    }
}

void CServiceBase::HandleContinue()
{
    ReportStatus(ss::continue_pending, 0, 0);
    std::uint32_t code = 0;
    switch (run_hook([&] { ContinueHook(); }, code)) {
    case hook_outcome::done:
        ReportStatus(ss::running, 0, 0);
        break;
    case hook_outcome::code:
        LogError("Service Continue", code);
        ReportStatus(ss::paused, 0, 0);
        break;
    case hook_outcome::other:
        LogEvent("Service failed to resume.", platform::event_type_error, event_id_, event_category_);
        ReportStatus(ss::paused, 0, 0);
        break;
    }
}

void CServiceBase::HandleShutdown()
{
    std::uint32_t code = 0;
    switch (run_hook([&] { ShutdownHook(); }, code)) {
    case hook_outcome::done:
        ReportStatus(ss::stopped, 0, 0);
        break;
    case hook_outcome::code:
        LogError("Service Shutdown", code);
        break;
    case hook_outcome::other:
        LogEvent("Service failed to shut down.", platform::event_type_error, event_id_, event_category_);
        break;
    }
}

void CServiceBase::ReportStatus(std::uint32_t state, std::uint32_t exit_code, std::uint32_t wait_hint)
{
    status_.current_state = state;
    status_.win32_exit_code = exit_code;
    status_.wait_hint = wait_hint;
    status_.check_point = (state == ss::running || state == ss::stopped) ? 0 : checkpoint_counter++;
    host_.set_status(status_handle_, status_);
}

void CServiceBase::StartHook(const std::vector<std::string>&) {}
void CServiceBase::StopHook() {}
void CServiceBase::PauseHook() {}
void CServiceBase::ContinueHook() {}
void CServiceBase::ShutdownHook() {}

void CServiceBase::LogEvent(const std::string& message, std::uint16_t type, std::uint32_t event_id,
                            std::uint16_t category)
{
    std::vector<std::string> lines;
    try {
        std::size_t start = 0;
        while (start <= message.size()) {
            const std::size_t end = message.find('\n', start);
            const std::size_t stop = end == std::string::npos ? message.size() : end;
            if (stop > start)
                lines.emplace_back(message, start, stop - start);
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    } catch (const std::bad_alloc&) {
        return;  // no memory for the copy: the entry is not written
    }
    host_.report_event(name_, type, category, event_id, lines);
}

void CServiceBase::LogError(const std::string& function, std::uint32_t code)
{
    std::string text = service::format_text("%s failed with error code 0x%08lx", function.c_str(),
                                            static_cast<unsigned long>(code));
    service::truncate_to_utf16_units(text, service::message_buffer - 1);
    LogEvent(text, platform::event_type_error, event_id_, event_category_);
}
